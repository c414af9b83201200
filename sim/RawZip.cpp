#include "sim/RawZip.h"

#include <zlib.h>

#include <cstdint>

namespace marvolen::office {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
// 1 January 2020, 12:00:00 as an MS-DOS date and time: fixed, so archives are reproducible.
constexpr std::uint16_t kDosTime = 12 << 11;
constexpr std::uint16_t kDosDate = ((2020 - 1980) << 9) | (1 << 5) | 1;

void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

std::uint32_t Get16(const std::string& s, std::size_t at) {
  return static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8);
}

// The fields local and central headers share, from "version needed" to the extra length.
void PutCommon(std::string& out, const RawEntry& e, std::uint32_t crc) {
  Put16(out, 20);  // version needed
  Put16(out, 0);   // flags
  Put16(out, 0);   // stored
  Put16(out, kDosTime);
  Put16(out, kDosDate);
  Put32(out, crc);
  Put32(out, static_cast<std::uint32_t>(e.data.size()));
  Put32(out, static_cast<std::uint32_t>(e.data.size()));
  Put16(out, static_cast<std::uint32_t>(e.name.size()));
  Put16(out, 0);  // extra field length
}

}  // namespace

std::string StoredZip(const std::vector<RawEntry>& entries) {
  std::string out, central;
  for (const RawEntry& e : entries) {
    const auto crc = static_cast<std::uint32_t>(::crc32(
        0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
    const auto offset = static_cast<std::uint32_t>(out.size());
    Put32(out, kLocalSignature);
    PutCommon(out, e, crc);
    out += e.name;
    out += e.data;
    Put32(central, kCentralSignature);
    Put16(central, 20);  // made by
    PutCommon(central, e, crc);
    Put16(central, 0);     // comment length
    Put16(central, 0);     // disk number
    Put16(central, 0);     // internal attributes
    Put32(central, 0x20);  // external attributes: an archived file
    Put32(central, offset);
    central += e.name;
  }
  const auto central_offset = static_cast<std::uint32_t>(out.size());
  out += central;
  Put32(out, kEndSignature);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put32(out, static_cast<std::uint32_t>(central.size()));
  Put32(out, central_offset);
  Put16(out, 0);  // comment length
  return out;
}

std::string BreakCentralDirectory(std::string archive) {
  const std::string signature("PK\x01\x02", 4);
  for (std::size_t at = archive.find(signature); at != std::string::npos;
       at = archive.find(signature, at + 4)) {
    archive[at + 2] = 'x';
    archive[at + 3] = 'x';
  }
  return archive;
}

std::string BreakFirstEntryCrc(std::string archive) {
  if (archive.size() < 30 || archive.compare(0, 4, "PK\x03\x04", 4) != 0) return archive;
  const std::size_t data = 30 + Get16(archive, 26) + Get16(archive, 28);
  const std::uint32_t size = Get16(archive, 18) | (Get16(archive, 20) << 16);
  if (size > 0 && data < archive.size()) archive[data] = static_cast<char>(archive[data] ^ 0xFF);
  return archive;
}

}  // namespace marvolen::office
