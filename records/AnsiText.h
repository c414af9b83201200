// Windows-1252 <-> UTF-8 for the text slots of the office parameter file, total in both
// directions: the five bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand
// for the C1 control characters of the same number, as Windows itself maps them. So every slot
// an office or an older station wrote reads as UTF-8 and writes back to the very same bytes.
#pragma once

#include <string>
#include <string_view>

#include "platform/CodePage.h"

namespace marvolen {

std::string AnsiToUtf8Exact(std::string_view ansi);
// Characters with no Windows-1252 byte, and bytes that are not valid UTF-8, become '?' and
// clear `exact`.
Converted Utf8ToAnsiExact(std::string_view utf8);

}  // namespace marvolen
