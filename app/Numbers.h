// Integer conversion of the operator's entries, strict in the way the settings form has
// always been: the whole text must be a number.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace marvolen {

// "'<text>' is not a valid integer value".
class ConversionError : public std::runtime_error {
 public:
  explicit ConversionError(std::string_view text);
};

// A signed decimal 32-bit integer: leading blanks and one sign are accepted, anything else
// (an empty text, a trailing blank, a letter, an overflow) throws ConversionError.
int32_t StrToInt(std::string_view text);

}  // namespace marvolen
