// Code-page conversion through glibc's iconv. What goes on the line and into the binary
// records is Windows-1252, names inside archives are CP850 (the OEM code page), and
// everything on disk, in the window and in the activity log is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace marvolen {

enum class CodePage { Cp1252, Cp850, Utf8 };

struct Converted {
  std::string text;
  // False when some character had no equivalent in the target code page (it became '?')
  // or some input byte was not valid in the source code page (it became '?' too).
  bool exact = true;
};

Converted ConvertText(std::string_view text, CodePage from, CodePage to);

// Shorthands for the conversions the station makes; characters with no equivalent become '?'.
// Lossy, and '?' is also a byte an office can send: bytes that are compared, stored or sent
// back (a password, a device identifier, a file name the office gave) need the exact forms
// below.
std::string AnsiToUtf8(std::string_view cp1252);
std::string Utf8ToAnsi(std::string_view utf8);
std::string OemToUtf8(std::string_view cp850);
std::string Utf8ToOem(std::string_view utf8);

// Windows-1252 <-> UTF-8 for the station's own records (the settings record and the text
// slots of the office parameter file), total in both directions: the five bytes
// Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 control
// characters of the same number, as Windows itself maps them. So every byte a record holds
// reads as UTF-8 and writes back to the very same byte.
std::string AnsiToUtf8Exact(std::string_view ansi);
// Characters with no Windows-1252 byte, and bytes that are not valid UTF-8, become '?' and
// clear `exact`.
Converted Utf8ToAnsiExact(std::string_view utf8);

}  // namespace marvolen
