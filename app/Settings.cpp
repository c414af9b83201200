#include "app/Settings.h"

#include <algorithm>
#include <array>

#include "platform/CodePage.h"
#include "platform/Numbers.h"

namespace marvolen {

namespace {

bool FitsRecordCodePage(std::string_view utf8) {
  return Utf8ToAnsiExact(utf8).exact;
}

// `utf8` followed by `pad` blanks and cut to `width` characters, counted in the record's
// code page.
std::string PadCut(std::string_view utf8, size_t pad, size_t width) {
  std::string bytes = Utf8ToAnsiExact(utf8).text + std::string(pad, ' ');
  bytes.resize(width);
  return AnsiToUtf8Exact(bytes);
}

}  // namespace

size_t CharacterCount(std::string_view utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

SettingsFields SettingsFieldsFrom(const StationConfig& config) {
  return {std::to_string(config.PortNumber), std::to_string(config.BaudRate), config.ModemInitText,
          config.WorkDir};
}

std::optional<std::string> ApplySettings(const SettingsFields& fields, StationConfig& config) {
  const int32_t port = StrToInt(fields.Puerto);
  if (port <= 0 || port > 9) {
    return "El Número de Puerto serie no puede ser: " + std::to_string(port);
  }
  config.PortNumber = port;

  static constexpr std::array<int32_t, 7> kSpeeds{600, 1200, 2400, 4800, 9600, 19200, 38400};
  const int32_t speed = StrToInt(fields.Velocidad);
  if (std::find(kSpeeds.begin(), kSpeeds.end(), speed) == kSpeeds.end()) {
    return "La Velocidad no puede ser: " + std::to_string(speed);
  }
  config.BaudRate = speed;

  // The check has always allowed 40 characters although the message says 39.
  if (CharacterCount(fields.DirTrabajo) > 40) {
    return std::string("El directorio de trabajo no puede exceder 39 caracteres");
  }
  // The record holds single-byte characters only; anything else would be stored as '?' and
  // come back as a different directory or a password nobody can type.
  if (!FitsRecordCodePage(fields.DirTrabajo)) {
    return std::string("Carácter no admitido en el directorio de trabajo");
  }
  if (!FitsRecordCodePage(fields.Inicio)) {
    return std::string("Carácter no admitido en los comandos de inicialización");
  }
  if (!FitsRecordCodePage(config.SettingsPassword)) {
    return std::string("Carácter no admitido en la clave");
  }

  config.ModemInitText = PadCut(fields.Inicio, 65, 50);
  config.SettingsPassword = PadCut(config.SettingsPassword, 10, 10);
  config.WorkDir = PadCut(fields.DirTrabajo, 41, 40);
  return std::nullopt;
}

std::string TrimTrailingBlanks(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return std::string(text.substr(0, end));
}

bool PasswordOpensSettings(std::string_view settings_password, std::string_view entry) {
  const std::string stored = TrimTrailingBlanks(settings_password);
  return stored.empty() || stored == TrimTrailingBlanks(entry);
}

}  // namespace marvolen
