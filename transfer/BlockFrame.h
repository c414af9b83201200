// The wire format both transfer directions share: control bytes, the fixed sequences, frame
// building and checking, and the sender's block-size rule. Pure functions on byte strings;
// the timing and the line live in TransferSender and TransferReceiver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace marvolen::block {

inline constexpr char kSoh = 0x01;  // header of a frame with 128 data bytes
inline constexpr char kStx = 0x02;  // header of a frame with 1024 data bytes
inline constexpr char kEot = 0x04;  // end of file
inline constexpr char kAck = 0x06;
inline constexpr char kBs = 0x08;
inline constexpr char kNak = 0x15;  // refusal; as the first request it asks for checksums
inline constexpr char kCan = 0x18;
inline constexpr char kCrcRequest = 'C';

inline constexpr std::size_t kSmallBlock = 128;
inline constexpr std::size_t kLargeBlock = 1024;
// NUL bytes appended to the content before it is cut into blocks, so every block is full.
inline constexpr std::size_t kPadding = 256;
// Below this many unsent bytes the sender switches to 128-byte blocks for good.
inline constexpr std::size_t kLargeBlockMinimum = 896;

using namespace std::string_view_literals;
inline constexpr std::string_view kReceiverOpening = "\x11\x13"sv;
inline constexpr std::string_view kSenderCancel = "\x18\x18\x18\x18\x18\x08\x08\x08\x08\x08"sv;
inline constexpr std::string_view kReceiverCancelAnswer = "\x18\x18\x18\x06"sv;
inline constexpr std::string_view kReceiverFailureClosing = "00000\x08\x08\x08\x08\x08"sv;
inline constexpr std::string_view kThreeCan = "\x18\x18\x18"sv;

enum class CheckMode { kCrc, kChecksum };

// 133, 1029 (CRC) or 132, 1028 (checksum).
std::size_t FrameLength(std::size_t block_size, CheckMode mode);

// Header, number modulo 256, its complement, the data, then the check of the data.
// `data` must hold 128 or 1024 bytes.
std::string BuildFrame(unsigned block_number, std::string_view data, CheckMode mode);

// The size of the block that starts with `remaining` bytes of content unsent, given the size
// of the block before it (1024 for the first block). Once small, blocks stay small.
std::size_t NextBlockSize(std::size_t previous, std::size_t remaining);

// What the receiver makes of a collected frame, in the order the tests are made.
enum class FrameVerdict {
  kAccepted,
  kLong,             // more bytes than the frame length
  kRepeated,         // the block accepted last, sent again after a lost ACK
  kNumberError,      // not the expected block number
  kComplementError,  // expected number, wrong complement
  kCrcError,
  kChecksumError,
};

// `frame` holds at least FrameLength(block_size, mode) bytes; `expected` is the number the
// next new block must carry, modulo 256.
FrameVerdict CheckFrame(std::string_view frame, std::size_t block_size, CheckMode mode,
                        std::uint8_t expected);

// The receiver's text for a refused frame, naming the block being received ("CRC Error in 7").
// Empty for an accepted frame.
std::string VerdictText(FrameVerdict verdict, int block_counter);

// The data bytes of a frame.
inline std::string_view FrameData(std::string_view frame, std::size_t block_size) {
  return frame.substr(3, block_size);
}

}  // namespace marvolen::block
