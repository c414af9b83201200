// The fixed byte strings the station and the office exchange on the line. They are not text:
// they are compared and sent byte for byte. This is the only place the office program holds
// them.
#pragma once

#include <string_view>

namespace marvolen::office {

using namespace std::string_view_literals;

// Sent by the station, followed by CR, when the call connects and every 10 s until the
// office identifies itself.
inline constexpr std::string_view GreetingToken =
    "\x9E\x4A\xD7\xB2\x05\xF1\x6C\x88\x3D\xE4\xA9\x57"sv;
// Sent by the office, followed by CR, when it has carried out a command.
inline constexpr std::string_view AckToken = "\xC5\x9B\x0E\x37\x44\xE9\xD8"sv;
// Sent by the station when the office has echoed a command; it ends in CR itself.
inline constexpr std::string_view GoToken = "\xB7\xEC\x3A\x9C\xD1\xE6\x5B\x0D"sv;
// Prefix of a text the office shows on its display.
inline constexpr std::string_view MessageToken = "\xE2\x8F\x4C\xB9\x17\xD3\x6A"sv;
// Prefix of the date and time the station sets on the office: 14 digits ddmmyyyyhhmmss.
inline constexpr std::string_view ClockToken = "\xAB\x3F\xE7\x91\x5C\xC8\x24"sv;

inline constexpr char kCr = '\r';

}  // namespace marvolen::office
