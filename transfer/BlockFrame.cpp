#include "transfer/BlockFrame.h"

#include "transfer/Crc16.h"

namespace marvolen::block {

std::size_t FrameLength(std::size_t block_size, CheckMode mode) {
  return 3 + block_size + (mode == CheckMode::kCrc ? 2 : 1);
}

std::string BuildFrame(unsigned block_number, std::string_view data, CheckMode mode) {
  const unsigned char number = static_cast<unsigned char>(block_number % 256);
  std::string frame;
  frame.reserve(FrameLength(data.size(), mode));
  frame += data.size() == kLargeBlock ? kStx : kSoh;
  frame += static_cast<char>(number);
  frame += static_cast<char>(number ^ 0xFF);
  frame += data;
  if (mode == CheckMode::kCrc) {
    const Crc16Bytes crc = Crc16(data);
    frame += static_cast<char>(crc.high);
    frame += static_cast<char>(crc.low);
  } else {
    frame += static_cast<char>(Checksum8(data));
  }
  return frame;
}

std::size_t NextBlockSize(std::size_t previous, std::size_t remaining) {
  if (previous == kSmallBlock || remaining < kLargeBlockMinimum) return kSmallBlock;
  return kLargeBlock;
}

FrameVerdict CheckFrame(std::string_view frame, std::size_t block_size, CheckMode mode,
                        std::uint8_t expected) {
  const std::size_t length = FrameLength(block_size, mode);
  if (frame.size() > length) return FrameVerdict::kLong;
  const auto number = static_cast<std::uint8_t>(frame[1]);
  const auto complement = static_cast<std::uint8_t>(frame[2]);
  const auto previous = static_cast<std::uint8_t>(expected - 1);
  if (number == previous && complement == (previous ^ 0xFF)) return FrameVerdict::kRepeated;
  if (number != expected) return FrameVerdict::kNumberError;
  if (complement != (expected ^ 0xFF)) return FrameVerdict::kComplementError;
  const std::string_view data = FrameData(frame, block_size);
  if (mode == CheckMode::kCrc) {
    const Crc16Bytes crc = Crc16(data);
    const bool ok = static_cast<unsigned char>(frame[length - 2]) == crc.high &&
                    static_cast<unsigned char>(frame[length - 1]) == crc.low;
    return ok ? FrameVerdict::kAccepted : FrameVerdict::kCrcError;
  }
  const bool ok = static_cast<unsigned char>(frame[length - 1]) == Checksum8(data);
  return ok ? FrameVerdict::kAccepted : FrameVerdict::kChecksumError;
}

std::string VerdictText(FrameVerdict verdict, int block_counter) {
  const std::string n = std::to_string(block_counter);
  switch (verdict) {
    case FrameVerdict::kAccepted:
      return {};
    case FrameVerdict::kLong:
      return "Long Block in " + n;
    case FrameVerdict::kRepeated:
      return "Block # Repeated in " + n;
    case FrameVerdict::kNumberError:
      return "Block # Error in " + n;
    case FrameVerdict::kComplementError:
      return "Complement Error in " + n;
    case FrameVerdict::kCrcError:
      return "CRC Error in " + n;
    case FrameVerdict::kChecksumError:
      return "Checksum Error in " + n;
  }
  return {};
}

}  // namespace marvolen::block
