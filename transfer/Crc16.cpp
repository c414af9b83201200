#include "transfer/Crc16.h"

#include <array>

namespace marvolen {
namespace {

// Eight tables of 256 entries. kTables[0][b] is the remainder of shifting the byte b through
// the polynomial eight times, for the usual byte-at-a-time loop; kTables[k][b] is what the
// byte b contributes with k more bytes behind it. The CRC is linear, so eight bytes can be
// looked up independently and their contributions combined, one step for eight bytes instead
// of eight dependent ones: the check of every block sent and received.
using Tables = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables tables{};
  for (unsigned top = 0; top < 256; ++top) {
    std::uint16_t crc = static_cast<std::uint16_t>(top << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
    }
    tables[0][top] = crc;
  }
  for (std::size_t k = 1; k < tables.size(); ++k) {
    for (unsigned b = 0; b < 256; ++b) {
      const std::uint16_t before = tables[k - 1][b];
      tables[k][b] = static_cast<std::uint16_t>((before << 8) ^ tables[0][before >> 8]);
    }
  }
  return tables;
}

constexpr Tables kTables = MakeTables();

}  // namespace

std::uint16_t Crc16Value(std::string_view data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t left = data.size();
  unsigned crc = 0;
  // The register only ever meets the first two bytes of a group: its high byte is added to
  // the first, its low byte to the second.
  for (; left >= 8; left -= 8, p += 8) {
    crc = kTables[7][p[0] ^ (crc >> 8)] ^ kTables[6][p[1] ^ (crc & 0xFF)] ^ kTables[5][p[2]] ^
          kTables[4][p[3]] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^
          kTables[0][p[7]];
  }
  for (; left > 0; --left, ++p) crc = ((crc << 8) & 0xFFFF) ^ kTables[0][(crc >> 8) ^ *p];
  return static_cast<std::uint16_t>(crc);
}

Crc16Bytes Crc16(std::string_view data) {
  const std::uint16_t crc = Crc16Value(data);
  return {crc / 256, crc % 256};
}

int Checksum8(std::string_view data) {
  unsigned sum = 0;
  for (char c : data) sum += static_cast<unsigned char>(c);
  return static_cast<int>(sum % 256);
}

}  // namespace marvolen
