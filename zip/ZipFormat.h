// The ZIP records the component reads and writes, as plain values, with their little-endian
// byte images and the search for the end of central directory record. Nothing here touches
// a file except through the small reader callback of FindEndRecord.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marvolen {

inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr uint32_t kZip64EndSignature = 0x06064B50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr uint32_t kDataDescriptorSignature = 0x08074B50;

inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndRecordSize = 22;
inline constexpr size_t kZip64LocatorSize = 20;
inline constexpr size_t kZip64EndSize = 56;
// How far back from the end of the file the end record is looked for.
inline constexpr size_t kEndRecordWindow = 65600;
// The bytes FindEndRecord looks at first, enough for a record with a short comment.
inline constexpr size_t kEndRecordFirstLook = 1024;

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8Name = 0x0800;

// The fields a local file header and a central directory file header share, in the central
// header's order from "version made by" to "relative offset of local header".
struct CentralHeader {
  uint16_t version_made_by = 20;
  uint16_t version_needed = 20;
  uint16_t flags = 0;
  uint16_t method = 8;
  uint16_t time = 0;
  uint16_t date = 0;
  uint32_t crc32 = 0xFFFFFFFF;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
  uint16_t comment_length = 0;
  uint16_t disk_start = 0;
  uint16_t internal_attributes = 0;
  uint32_t external_attributes = 0;
  uint64_t local_header_offset = 0;
};

struct LocalHeader {
  uint16_t version_needed = 20;
  uint16_t flags = 0;
  uint16_t method = 8;
  uint16_t time = 0;
  uint16_t date = 0;
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
};

struct EndRecord {
  uint16_t disk_number = 0;
  uint16_t cd_disk = 0;
  uint16_t entries_on_disk = 0;
  uint16_t total_entries = 0;
  uint32_t cd_size = 0;
  uint32_t cd_offset = 0;
  uint16_t comment_length = 0;
};

// Little-endian helpers on byte buffers; callers check the length first.
uint16_t Get16(const unsigned char* p);
uint32_t Get32(const unsigned char* p);
uint64_t Get64(const unsigned char* p);
void Put16(std::string& out, uint16_t v);
void Put32(std::string& out, uint32_t v);

// The 30-byte image of a local header; sizes above 32 bits are the caller's to refuse.
std::string LocalHeaderBytes(const LocalHeader& h);
std::optional<LocalHeader> ParseLocalHeader(const unsigned char* p, size_t size);
// The 46-byte image; 64-bit values must already fit in 32 bits.
std::string CentralHeaderBytes(const CentralHeader& h);
std::optional<CentralHeader> ParseCentralHeader(const unsigned char* p, size_t size);
std::string EndRecordBytes(const EndRecord& e);
std::optional<EndRecord> ParseEndRecord(const unsigned char* p, size_t size);

// Where the end record of a file of `file_size` bytes was found, and what it says.
struct EndRecordHit {
  uint64_t position = 0;
  EndRecord record;
  std::string comment;
};

// Reads `count` bytes at `offset` into `buffer`; false when they cannot all be read.
using ReadAt = std::function<bool(uint64_t offset, size_t count, unsigned char* buffer)>;

// Scans the last kEndRecordWindow bytes backwards for an end record that, with its comment,
// ends exactly at the end of the file, and whose central directory lies inside the file
// right before it (starting with a central header signature when it has entries). A false
// record inside a comment is thereby passed over. nullopt when none counts.
std::optional<EndRecordHit> FindEndRecord(uint64_t file_size, const ReadAt& read);

// The longest prefix of `bytes`, at most `most_trailing` bytes shorter, that FindEndRecord
// takes for a whole archive (as it would on a file holding only that prefix); nullopt when no
// such prefix is one. It looks once, from the end, for the end records whose comment would
// end within that reach, and confirms only those: a received file's padding is cut in one
// pass instead of by shortening the file and searching again.
std::optional<size_t> ArchiveLengthWithin(std::string_view bytes, size_t most_trailing);

// Zip64 values of a central header's extra field: each 0xFFFFFFFF field takes the next
// 64-bit value of the Zip64 item (tag 1), in the order the format gives them. False when
// the item is missing or too short for the fields that need it.
bool ApplyZip64Extra(CentralHeader& h, const std::string& extra);
// The UTF-8 name of an Info-ZIP Unicode Path item (tag 0x7075) whose CRC matches the
// name's raw bytes; nullopt when there is none.
std::optional<std::string> UnicodePathExtra(const std::string& extra, const std::string& raw_name);

}  // namespace marvolen
