#include <gtest/gtest.h>

#include <random>
#include <string>

#include "transfer/BlockFrame.h"
#include "transfer/Crc16.h"

namespace marvolen {
namespace {

using namespace block;

// The register-and-bit description of CRC-16/XMODEM, one bit at a time, as the check is
// defined; the library's table-driven version, which takes eight bytes a step, must agree with
// it on any input, whatever the length and wherever the bytes start.
std::uint16_t BitwiseCrc(std::string_view data) {
  std::uint16_t crc = 0;
  for (char c : data) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool in = (static_cast<unsigned char>(c) >> bit) & 1;
      const bool top = (crc >> 15) & 1;
      crc = static_cast<std::uint16_t>((crc & 0x7FFF) * 2);
      if (in != top) crc ^= 0x1021;
    }
  }
  return crc;
}

TEST(Crc16, WorkedValues) {
  struct Row {
    std::string_view data;
    int high, low, checksum;
  };
  for (const Row& r : {Row{"abc", 0x9D, 0xD6, 0x26}, Row{"123456789", 0x31, 0xC3, 0xDD},
                       Row{"", 0, 0, 0}, Row{"\xFF\xFF", 0x1D, 0x0F, 0xFE}}) {
    SCOPED_TRACE(std::string(r.data));
    EXPECT_EQ(Crc16(r.data).high, r.high);
    EXPECT_EQ(Crc16(r.data).low, r.low);
    EXPECT_EQ(Checksum8(r.data), r.checksum);
  }
}

TEST(Crc16, AgreesWithTheBitwiseDefinition) {
  std::mt19937 gen(42);
  std::string data(1100, '\0');
  for (char& c : data) c = static_cast<char>(gen());
  for (std::size_t n : {0, 1, 2, 7, 8, 9, 15, 16, 17, 128, 133, 1024, 1029}) {
    for (std::size_t start : {0, 1, 3, 7}) {
      const std::string_view piece = std::string_view(data).substr(start, n);
      EXPECT_EQ(Crc16Value(piece), BitwiseCrc(piece)) << n << " from " << start;
    }
  }
}

TEST(BlockFrame, ChecksInOrder) {
  const std::string data(128, 'd');
  const std::string good = BuildFrame(7, data, CheckMode::kCrc);
  struct Row {
    const char* name;
    std::string frame;
    std::uint8_t expected;
    FrameVerdict verdict;
  };
  std::string long_repeat = BuildFrame(6, data, CheckMode::kCrc) + "x";
  std::string bad_number = good, bad_complement = good, bad_crc = good, bad_data = good;
  bad_number[1] = 9;
  bad_number[2] = static_cast<char>(9 ^ 0xFF);
  bad_complement[2] = 0;
  bad_crc[132] ^= 1;
  bad_data[3] ^= 1;
  const std::vector<Row> rows = {
      {"accepted", good, 7, FrameVerdict::kAccepted},
      {"long before repeated", long_repeat, 7, FrameVerdict::kLong},
      {"repeated", BuildFrame(6, data, CheckMode::kCrc), 7, FrameVerdict::kRepeated},
      {"repeated 255 while 0 expected", BuildFrame(255, data, CheckMode::kCrc), 0,
       FrameVerdict::kRepeated},
      {"number", bad_number, 7, FrameVerdict::kNumberError},
      {"complement", bad_complement, 7, FrameVerdict::kComplementError},
      {"crc", bad_crc, 7, FrameVerdict::kCrcError},
      {"data", bad_data, 7, FrameVerdict::kCrcError},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(CheckFrame(r.frame, 128, CheckMode::kCrc, r.expected), r.verdict) << r.name;
  }
  std::string bad_sum = BuildFrame(7, data, CheckMode::kChecksum);
  EXPECT_EQ(CheckFrame(bad_sum, 128, CheckMode::kChecksum, 7), FrameVerdict::kAccepted);
  bad_sum.back() ^= 1;
  EXPECT_EQ(CheckFrame(bad_sum, 128, CheckMode::kChecksum, 7), FrameVerdict::kChecksumError);
  EXPECT_EQ(VerdictText(FrameVerdict::kRepeated, 12), "Block # Repeated in 12");
  EXPECT_EQ(VerdictText(FrameVerdict::kChecksumError, 3), "Checksum Error in 3");
}

}  // namespace
}  // namespace marvolen
