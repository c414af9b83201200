#include "link/SerialMessages.h"

#include "platform/Errors.h"

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
  return SystemReason(code);
}

std::string ShortForm(std::string_view message, int port) {
  std::string text(message);
  text += std::to_string(port);
  text += ". ";
  return text;
}

namespace {

// code + ": " + system text + ". "
std::string CodeAndReason(std::error_code code) {
  return std::to_string(code.value()) + ": " + ReasonText(code) + ". ";
}

}  // namespace

std::string SystemErrorForm(std::string_view message, int port, std::error_code code) {
  return ShortForm(message, port) + CodeAndReason(code);
}

std::string WriteFailed(std::error_code code) {
  return std::string(kWriteFailed) + CodeAndReason(code);
}

}  // namespace marvolen::serial_text
