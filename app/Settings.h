// What the settings form and the password form decide, kept apart from the widgets so that
// it can be tested without a window.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/StationConfig.h"

namespace marvolen {

// The texts of the settings form's edit boxes.
struct SettingsFields {
  std::string Puerto;      // serial port number
  std::string Velocidad;   // line speed
  std::string Inicio;      // modem initialisation commands
  std::string DirTrabajo;  // working directory
};

// The form's texts for the loaded settings.
SettingsFields SettingsFieldsFrom(const StationConfig& config);

// The checks and updates of a save, in order. Returns the message to show when a check
// fails; nothing may be written then. `PortNumber` and `BaudRate` take their new values as
// soon as they pass their own check, even when a later one fails, so that the running
// station already uses them. On success the text fields are padded or cut to their widths.
// Throws ConversionError when the port or the speed is not an integer.
std::optional<std::string> ApplySettings(const SettingsFields& fields, StationConfig& config);

// The characters of a UTF-8 text (what an operator counts), not its bytes.
size_t CharacterCount(std::string_view utf8);

// `text` without its trailing blanks and control characters (codes up to 32).
std::string TrimTrailingBlanks(std::string_view text);

// Whether the password form's entry opens the settings: always when no password is set
// (blank after trimming), else when both agree once trailing blanks are trimmed. Letter case
// counts.
bool PasswordOpensSettings(std::string_view settings_password, std::string_view entry);

}  // namespace marvolen
