// The two checks a transfer frame can carry: the 16-bit CRC (CRC-16/XMODEM: polynomial
// 0x1021, initial value 0, most significant bit first, no reflection, no final XOR) and the
// 8-bit additive checksum. Both work on byte strings and know nothing of the line.
#pragma once

#include <cstdint>
#include <string_view>

namespace marvolen {

struct Crc16Bytes {
  int high = 0;  // the CRC divided by 256
  int low = 0;   // the CRC modulo 256
};

// The CRC as one 16-bit value.
std::uint16_t Crc16Value(std::string_view data);

// The CRC split into the two bytes a frame carries, high byte first.
Crc16Bytes Crc16(std::string_view data);

// The sum of the unsigned byte values modulo 256; 0 for no bytes.
int Checksum8(std::string_view data);

}  // namespace marvolen
