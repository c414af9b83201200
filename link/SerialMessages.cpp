#include "link/SerialMessages.h"

#include <cstring>

namespace marvolen::serial_text {

std::string PortIsOpen(int port) {
  return "ERROR, COM" + std::to_string(port) + " IS OPEN. ";
}

std::string PortNotFound(int port) {
  return "ERROR, COM" + std::to_string(port) + " NOT FOUND. ";
}

std::string CannotOpenPort(int port) {
  return "ERROR, CAN NOT OPEN COM" + std::to_string(port) + ". ";
}

std::string PortNotAvailable(int port) {
  return "ERROR, COM" + std::to_string(port) + " NOT AVAILABLE. ";
}

std::string SystemErrorText(int code) {
  char buffer[257];
  // The GNU strerror_r may hand back a static text instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  std::string result(text ? text : "");
  if (result.size() > 256) result.resize(256);
  while (!result.empty()) {
    const unsigned char last = static_cast<unsigned char>(result.back());
    if (last > ' ' && last != '.' && last != 0x7F) break;
    result.pop_back();
  }
  return result;
}

std::string ShortForm(std::string_view message, int port) {
  std::string text(message);
  text += std::to_string(port);
  text += ". ";
  return text;
}

std::string SystemErrorForm(std::string_view message, int port, int code) {
  return ShortForm(message, port) + std::to_string(code) + ": " + SystemErrorText(code) + ". ";
}

std::string WriteFailed(int code) {
  return std::string(kWriteFailed) + std::to_string(code) + ": " + SystemErrorText(code) + ". ";
}

}  // namespace marvolen::serial_text
