#include "zip/ZipFormat.h"

#include <zlib.h>

#include <string.h>

#include <algorithm>
#include <functional>

namespace marvolen {

uint16_t Get16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Get64(const unsigned char* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

void Put16(std::string& out, uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

void Put32(std::string& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v & 0xFFFF));
  Put16(out, static_cast<uint16_t>(v >> 16));
}

std::string LocalHeaderBytes(const LocalHeader& h) {
  std::string out;
  out.reserve(kLocalHeaderSize);
  Put32(out, kLocalHeaderSignature);
  Put16(out, h.version_needed);
  Put16(out, h.flags);
  Put16(out, h.method);
  Put16(out, h.time);
  Put16(out, h.date);
  Put32(out, h.crc32);
  Put32(out, h.compressed_size);
  Put32(out, h.uncompressed_size);
  Put16(out, h.name_length);
  Put16(out, h.extra_length);
  return out;
}

std::optional<LocalHeader> ParseLocalHeader(const unsigned char* p, size_t size) {
  if (size < kLocalHeaderSize || Get32(p) != kLocalHeaderSignature) return std::nullopt;
  LocalHeader h;
  h.version_needed = Get16(p + 4);
  h.flags = Get16(p + 6);
  h.method = Get16(p + 8);
  h.time = Get16(p + 10);
  h.date = Get16(p + 12);
  h.crc32 = Get32(p + 14);
  h.compressed_size = Get32(p + 18);
  h.uncompressed_size = Get32(p + 22);
  h.name_length = Get16(p + 26);
  h.extra_length = Get16(p + 28);
  return h;
}

std::string CentralHeaderBytes(const CentralHeader& h) {
  std::string out;
  out.reserve(kCentralHeaderSize);
  Put32(out, kCentralHeaderSignature);
  Put16(out, h.version_made_by);
  Put16(out, h.version_needed);
  Put16(out, h.flags);
  Put16(out, h.method);
  Put16(out, h.time);
  Put16(out, h.date);
  Put32(out, h.crc32);
  Put32(out, static_cast<uint32_t>(h.compressed_size));
  Put32(out, static_cast<uint32_t>(h.uncompressed_size));
  Put16(out, h.name_length);
  Put16(out, h.extra_length);
  Put16(out, h.comment_length);
  Put16(out, h.disk_start);
  Put16(out, h.internal_attributes);
  Put32(out, h.external_attributes);
  Put32(out, static_cast<uint32_t>(h.local_header_offset));
  return out;
}

std::optional<CentralHeader> ParseCentralHeader(const unsigned char* p, size_t size) {
  if (size < kCentralHeaderSize || Get32(p) != kCentralHeaderSignature) return std::nullopt;
  CentralHeader h;
  h.version_made_by = Get16(p + 4);
  h.version_needed = Get16(p + 6);
  h.flags = Get16(p + 8);
  h.method = Get16(p + 10);
  h.time = Get16(p + 12);
  h.date = Get16(p + 14);
  h.crc32 = Get32(p + 16);
  h.compressed_size = Get32(p + 20);
  h.uncompressed_size = Get32(p + 24);
  h.name_length = Get16(p + 28);
  h.extra_length = Get16(p + 30);
  h.comment_length = Get16(p + 32);
  h.disk_start = Get16(p + 34);
  h.internal_attributes = Get16(p + 36);
  h.external_attributes = Get32(p + 38);
  h.local_header_offset = Get32(p + 42);
  return h;
}

std::string EndRecordBytes(const EndRecord& e) {
  std::string out;
  out.reserve(kEndRecordSize);
  Put32(out, kEndRecordSignature);
  Put16(out, e.disk_number);
  Put16(out, e.cd_disk);
  Put16(out, e.entries_on_disk);
  Put16(out, e.total_entries);
  Put32(out, e.cd_size);
  Put32(out, e.cd_offset);
  Put16(out, e.comment_length);
  return out;
}

std::optional<EndRecord> ParseEndRecord(const unsigned char* p, size_t size) {
  if (size < kEndRecordSize || Get32(p) != kEndRecordSignature) return std::nullopt;
  EndRecord e;
  e.disk_number = Get16(p + 4);
  e.cd_disk = Get16(p + 6);
  e.entries_on_disk = Get16(p + 8);
  e.total_entries = Get16(p + 10);
  e.cd_size = Get32(p + 12);
  e.cd_offset = Get32(p + 16);
  e.comment_length = Get16(p + 20);
  return e;
}

namespace {

// Whether the central directory an end record at `position` describes starts where the
// record says it does. A Zip64 locator right before the record defers the check to the
// Zip64 reading, which has the real sizes.
bool CentralDirectoryPlausible(uint64_t position, const EndRecord& e, const ReadAt& read) {
  if (position >= kZip64LocatorSize) {
    unsigned char sig[4];
    if (read(position - kZip64LocatorSize, 4, sig) && Get32(sig) == kZip64LocatorSignature) {
      return true;
    }
  }
  if (e.cd_size > position) return false;
  if (e.total_entries == 0) return true;
  if (e.cd_size < kCentralHeaderSize) return false;
  unsigned char sig[4];
  return read(position - e.cd_size, 4, sig) && Get32(sig) == kCentralHeaderSignature;
}

}  // namespace

std::optional<EndRecordHit> FindEndRecord(uint64_t file_size, const ReadAt& read) {
  if (file_size < kEndRecordSize) return std::nullopt;
  const size_t whole = static_cast<size_t>(std::min<uint64_t>(file_size, kEndRecordWindow));
  // Almost every archive has a short comment or none, its record among the last bytes: those
  // are looked at first, and the whole reach of the longest comment only when they hold no
  // record that counts. The search runs backwards either way, so the first look finds what a
  // search of the whole reach would find first.
  for (size_t window = std::min(whole, kEndRecordFirstLook);; window = whole) {
    const uint64_t window_start = file_size - window;
    std::string buffer(window, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
    if (!read(window_start, window, bytes)) return std::nullopt;
    for (size_t i = window - kEndRecordSize + 1; i-- > 0;) {
      if (Get32(bytes + i) != kEndRecordSignature) continue;
      const auto record = ParseEndRecord(bytes + i, window - i);
      const size_t after = window - i - kEndRecordSize;
      if (!record || record->comment_length != after) continue;
      const uint64_t position = window_start + i;
      if (!CentralDirectoryPlausible(position, *record, read)) continue;
      EndRecordHit hit;
      hit.position = position;
      hit.record = *record;
      hit.comment.assign(buffer, i + kEndRecordSize, after);
      return hit;
    }
    if (window == whole) return std::nullopt;
  }
}

std::optional<size_t> ArchiveLengthWithin(std::string_view bytes, size_t most_trailing) {
  const size_t size = bytes.size();
  if (size < kEndRecordSize) return std::nullopt;
  const size_t shortest = size > most_trailing ? size - most_trailing : 0;
  // A record ends its archive 22 bytes and its comment (at most 65535) after its start.
  const size_t reach = kEndRecordSize + 0xFFFF;
  const size_t first = shortest > reach ? shortest - reach : 0;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::vector<size_t> lengths;
  // Backwards from the last place a whole record fits, a signature's first byte at a time
  // (memrchr), as this runs on every received file.
  for (size_t span = size - kEndRecordSize + 1 - std::min(first, size - kEndRecordSize + 1);
       span > 0;) {
    const void* hit = ::memrchr(data + first, 'P', span);
    if (hit == nullptr) break;
    const size_t i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - data);
    span = i - first;
    if (Get32(data + i) != kEndRecordSignature) continue;
    const size_t end = i + kEndRecordSize + Get16(data + i + 20);
    if (end >= shortest && end <= size) lengths.push_back(end);
  }
  // The longest first; almost always there is one, and a false record in a comment adds one.
  std::sort(lengths.begin(), lengths.end(), std::greater<>());
  lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
  for (const size_t length : lengths) {
    const auto read = [&](uint64_t offset, size_t count, unsigned char* buffer) {
      if (offset > length || count > length - offset) return false;
      std::copy_n(data + offset, count, buffer);
      return true;
    };
    if (FindEndRecord(length, read)) return length;
  }
  return std::nullopt;
}

bool ApplyZip64Extra(CentralHeader& h, const std::string& extra) {
  const bool need_u = h.uncompressed_size == 0xFFFFFFFF;
  const bool need_c = h.compressed_size == 0xFFFFFFFF;
  const bool need_o = h.local_header_offset == 0xFFFFFFFF;
  if (!need_u && !need_c && !need_o) return true;
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  size_t at = 0;
  while (at + 4 <= extra.size()) {
    const uint16_t tag = Get16(p + at);
    const uint16_t size = Get16(p + at + 2);
    if (at + 4 + size > extra.size()) return false;
    if (tag == 0x0001) {
      size_t field = at + 4;
      const size_t end = at + 4 + size;
      auto take = [&](uint64_t& value) {
        if (field + 8 > end) return false;
        value = Get64(p + field);
        field += 8;
        return true;
      };
      if (need_u && !take(h.uncompressed_size)) return false;
      if (need_c && !take(h.compressed_size)) return false;
      if (need_o && !take(h.local_header_offset)) return false;
      return true;
    }
    at += 4 + size;
  }
  return false;
}

std::optional<std::string> UnicodePathExtra(const std::string& extra, const std::string& raw_name) {
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  size_t at = 0;
  while (at + 4 <= extra.size()) {
    const uint16_t tag = Get16(p + at);
    const uint16_t size = Get16(p + at + 2);
    if (at + 4 + size > extra.size()) return std::nullopt;
    if (tag == 0x7075 && size >= 5 && p[at + 4] == 1) {
      const uint32_t crc = Get32(p + at + 5);
      const uint32_t actual = static_cast<uint32_t>(::crc32(
          0, reinterpret_cast<const Bytef*>(raw_name.data()), static_cast<uInt>(raw_name.size())));
      if (crc != actual) return std::nullopt;
      return extra.substr(at + 9, size - 5);
    }
    at += 4 + size;
  }
  return std::nullopt;
}

}  // namespace marvolen
