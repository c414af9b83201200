// The five byte strings the station and the office program exchange on the line. They are
// not text: they are compared and sent byte for byte, and both ends must hold the same values.
#pragma once

#include <string_view>

namespace marvolen::tokens {

using namespace std::string_view_literals;

// Sent with a CR when a call connects, and again every 10 s until the office identifies.
inline constexpr std::string_view kGreeting = "\x9E\x4A\xD7\xB2\x05\xF1\x6C\x88\x3D\xE4\xA9\x57"sv;
// A reply line starting with these bytes acknowledges the pending command.
inline constexpr std::string_view kAck = "\xC5\x9B\x0E\x37\x44\xE9\xD8"sv;
// Sent when the office echoes a command; it also starts a file transfer. Ends in CR.
inline constexpr std::string_view kGo = "\xB7\xEC\x3A\x9C\xD1\xE6\x5B\x0D"sv;
// Prefix of a text for the office's display.
inline constexpr std::string_view kMessage = "\xE2\x8F\x4C\xB9\x17\xD3\x6A"sv;
// Prefix of the date and time setting, followed by ddmmyyyyhhmmss.
inline constexpr std::string_view kClock = "\xAB\x3F\xE7\x91\x5C\xC8\x24"sv;

static_assert(kGreeting.size() == 12 && kAck.size() == 7 && kGo.size() == 8 &&
              kMessage.size() == 7 && kClock.size() == 7);

}  // namespace marvolen::tokens
