// The original platform's file attributes, MS-DOS date/time words and date serials, mapped
// onto POSIX. Archives and the office parameter file carry these values, so they must be
// exact at the edges of their ranges.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>

#include <sys/stat.h>

namespace marvolen {

enum FileAttribute : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrVolume = 0x08,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
};

// Directory: 0x10. Regular file (and anything else that is not a directory): 0x20, plus
// 0x01 when the owner's write bit is clear. Root can write anything, so the mode bit is the
// honest answer, not access(2).
uint32_t AttributeWord(const struct stat& st);
// The attribute word of `path` (symbolic links followed); nullopt when it cannot be read.
std::optional<uint32_t> FileAttributes(const std::filesystem::path& path);

struct DosDateTime {
  uint16_t date = 0;  // bits 15-9 year-1980, 8-5 month, 4-0 day
  uint16_t time = 0;  // bits 15-11 hour, 10-5 minute, 4-0 second/2
};

// Local time `t` as an MS-DOS date and time. Times before 1 January 1980 become that day
// at 00:00:00, times after 31 December 2107 23:59:58 become that moment; odd seconds round
// down, as the two-second resolution requires.
DosDateTime ToDosDateTime(std::time_t t);
// The local time an MS-DOS date and time stand for; nullopt for impossible fields
// (month 0 or 13, day 0, 31 February, hour 24, minute 60, second 60 or more).
std::optional<std::time_t> FromDosDateTime(DosDateTime dos);

// Whole days since 30 December 1899, the original platform's date serial.
int DateSerial(int year, int month, int day);
// The date serials of the first and the last day an MS-DOS date can hold: 1 January 1980
// and 31 December 2107.
inline constexpr int kFirstDosDateSerial = 29221;
inline constexpr int kLastDosDateSerial = 75971;
inline constexpr bool IsDosDateSerial(long long serial) {
  return serial >= kFirstDosDateSerial && serial <= kLastDosDateSerial;
}
struct CivilDate {
  int year, month, day;
};
CivilDate CivilFromSerial(int serial);

}  // namespace marvolen
