#include "app/Numbers.h"

#include <limits>
#include <string>

namespace marvolen {

ConversionError::ConversionError(std::string_view text)
    : std::runtime_error("'" + std::string(text) + "' is not a valid integer value") {}

int32_t StrToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) throw ConversionError(text);
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') throw ConversionError(text);
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) throw ConversionError(text);
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) throw ConversionError(text);
  return static_cast<int32_t>(value);
}

}  // namespace marvolen
