// Whole numbers from text, with one rule for every strict conversion: the settings form, the
// office's identification line, the office's parameters and the parameter file's own
// text-to-number conversion all read a number the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Errors.h"

namespace marvolen {

// A text that had to be a whole number and was not. It is not handled where it is raised:
// it ends the timer tick through the application's handler, which shows "ERROR PROGRAMA: "
// and this error's text and then resets the line.
class ConversionError : public StationError {
 public:
  // "'<text>' is not a valid integer value", followed by " (<context>)" when a context is
  // given, so that the operator learns which field was wrong.
  explicit ConversionError(std::string_view text, std::string_view context = {});
  // The text that did not convert.
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// A signed decimal 32-bit integer: leading blanks and one sign are accepted, then digits and
// nothing else. An empty text, a trailing blank, a letter or an overflow does not convert.
std::optional<int32_t> TryStrToInt(std::string_view text);
// The same rule; throws ConversionError when the text does not convert.
int32_t StrToInt(std::string_view text);

}  // namespace marvolen
