#include "platform/Numbers.h"

#include <limits>

namespace marvolen {

namespace {

std::string MessageFor(std::string_view text, std::string_view context) {
  std::string message = "'" + std::string(text) + "' is not a valid integer value";
  if (!context.empty()) message += " (" + std::string(context) + ")";
  return message;
}

}  // namespace

ConversionError::ConversionError(std::string_view text, std::string_view context)
    : StationError(StationRefusal::kNotANumber, MessageFor(text, context)), text_(text) {}

std::optional<int32_t> TryStrToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t StrToInt(std::string_view text) {
  if (const auto value = TryStrToInt(text)) return *value;
  throw ConversionError(text);
}

}  // namespace marvolen
