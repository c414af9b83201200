// The fixed byte strings of the protocol with the office program. They are not text: they
// are sent and compared byte for byte, and must equal what the office program expects.
#pragma once

#include <string_view>

namespace marvolen {

namespace line_token_bytes {
inline constexpr char kGreeting[] = {'\x9E', '\x4A', '\xD7', '\xB2', '\x05', '\xF1',
                                     '\x6C', '\x88', '\x3D', '\xE4', '\xA9', '\x57'};
inline constexpr char kAck[] = {'\xC5', '\x9B', '\x0E', '\x37', '\x44', '\xE9', '\xD8'};
inline constexpr char kGo[] = {'\xB7', '\xEC', '\x3A', '\x9C', '\xD1', '\xE6', '\x5B', '\x0D'};
inline constexpr char kMessage[] = {'\xE2', '\x8F', '\x4C', '\xB9', '\x17', '\xD3', '\x6A'};
inline constexpr char kClock[] = {'\xAB', '\x3F', '\xE7', '\x91', '\x5C', '\xC8', '\x24'};
}  // namespace line_token_bytes

// Sent, followed by CR, when a call connects, and every 10 s until the office identifies.
inline constexpr std::string_view GreetingToken{line_token_bytes::kGreeting,
                                                sizeof line_token_bytes::kGreeting};
// A received line starting with these bytes acknowledges the pending command.
inline constexpr std::string_view AckToken{line_token_bytes::kAck, sizeof line_token_bytes::kAck};
// Sent when the office echoes a command (ends in CR); also starts a file transfer.
inline constexpr std::string_view GoToken{line_token_bytes::kGo, sizeof line_token_bytes::kGo};
// Prefix of a text for the office's display.
inline constexpr std::string_view MessageToken{line_token_bytes::kMessage,
                                               sizeof line_token_bytes::kMessage};
// Prefix of the date and time setting command.
inline constexpr std::string_view ClockToken{line_token_bytes::kClock,
                                             sizeof line_token_bytes::kClock};

}  // namespace marvolen
