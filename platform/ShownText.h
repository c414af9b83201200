// Text from the line or from an archive on its way to a person: the log view, the console,
// the activity log, a command-line tool's output. A caller controls those bytes, and a
// terminal takes control characters as commands, so they are shown escaped instead.
#pragma once

#include <string>
#include <string_view>

namespace marvolen {

// `utf8` with every byte below 0x20 and 0x7F written as "\xHH" (a NUL too, so nothing is cut
// at it), the C1 controls U+0080..U+009F as "\u00HH", and each byte that is not part of valid
// UTF-8 as "\xHH". Everything else, backslashes included, is kept, so that applying it twice
// gives the same text.
std::string ShownText(std::string_view utf8);

}  // namespace marvolen
