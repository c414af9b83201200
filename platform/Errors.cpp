#include "platform/Errors.h"

#include <cstring>
#include <filesystem>

namespace marvolen {

namespace {

class Refusals final : public std::error_category {
 public:
  const char* name() const noexcept override { return "marvolen"; }
  std::string message(int value) const override {
    switch (static_cast<StationRefusal>(value)) {
      case StationRefusal::kDamagedArchive:
        return "archivo recibido dañado";
      case StationRefusal::kParamFileTooShort:
        return "archivo de parámetros demasiado corto";
      case StationRefusal::kNotANumber:
        return "no es un número entero";
      case StationRefusal::kNotRegularFile:
        return "no es un archivo regular";
      case StationRefusal::kDamagedRecord:
        return "registro de llamada dañado";
      case StationRefusal::kDamagedLineStatus:
        return "estado de línea dañado";
      case StationRefusal::kNoSuchUser:
        return "no existe el usuario";
      case StationRefusal::kStillPrivileged:
        return "no se pudo dejar de ser root";
      case StationRefusal::kInvalidMask:
        return "máscara de archivos no válida";
    }
    return "rechazo " + std::to_string(value);
  }
};

bool IsErrno(const std::error_code& code) {
  return code.category() == std::generic_category() || code.category() == std::system_category();
}

}  // namespace

const std::error_category& RefusalCategory() {
  static const Refusals category;
  return category;
}

std::error_code make_error_code(StationRefusal refusal) {
  return {static_cast<int>(refusal), RefusalCategory()};
}

std::string SystemReason(int error) {
  char buffer[257];
  // The GNU strerror_r may hand back a static text instead of filling the buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  std::string result(text ? text : "");
  if (result.size() > 256) result.resize(256);
  while (!result.empty()) {
    const unsigned char last = static_cast<unsigned char>(result.back());
    if (last > ' ' && last != '.' && last != 0x7F) break;
    result.pop_back();
  }
  return result;
}

std::string ReasonText(std::error_code code) {
  if (!code) return {};
  return IsErrno(code) ? SystemReason(code.value()) : code.message();
}

std::string ErrorText(std::string_view doing, std::error_code code) {
  std::string text(doing);
  if (code && IsErrno(code)) text += ": " + SystemReason(code.value());
  return text;
}

std::string ErrorText(const std::exception& e) {
  if (const auto* file = dynamic_cast<const std::filesystem::filesystem_error*>(&e)) {
    std::string doing = "Error de archivo en " + file->path1().string();
    if (!file->path2().empty()) doing += " y " + file->path2().string();
    const std::error_code& code = file->code();
    return IsErrno(code) ? ErrorText(doing, code) : doing + ": " + code.message();
  }
  return e.what();
}

}  // namespace marvolen
