#include "platform/DosTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/ScratchDir.h"

namespace marvolen {
namespace {

// The date and time as one word, date high, as the archive headers hold them.
uint32_t Packed(const DosDateTime& t) {
  return (uint32_t{t.date} << 16) | t.time;
}

std::time_t Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST(DosTime, FieldsArePackedAndOddSecondsRoundDown) {
  const DosDateTime dos = ToDosDateTime(Local(2026, 12, 7, 13, 45, 59));
  EXPECT_EQ(dos.date, ((2026 - 1980) << 9) | (12 << 5) | 7);
  EXPECT_EQ(dos.time, (13 << 11) | (45 << 5) | 29);
  EXPECT_EQ(FromDosDateTime(dos), Local(2026, 12, 7, 13, 45, 58));
}

TEST(DosTime, TimesOutsideTheRangeAreClampedToItsEnds) {
  EXPECT_EQ(Packed(ToDosDateTime(Local(1979, 12, 31, 23, 59, 59))), 0x00210000u);
  const DosDateTime first = ToDosDateTime(Local(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(Packed(first), 0x00210000u);
  const DosDateTime last = ToDosDateTime(Local(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(last.date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(last.time, (23 << 11) | (59 << 5) | 29);
  EXPECT_EQ(Packed(ToDosDateTime(Local(2110, 6, 1, 0, 0, 0))), Packed(last));
}

TEST(DosTime, ImpossibleFieldsAreRefused) {
  const uint16_t ok_date = (46 << 9) | (12 << 5) | 7;
  struct Row {
    uint16_t date, time;
  };
  const Row bad[] = {
      {(46 << 9) | (0 << 5) | 7, 0},   // month 0
      {(46 << 9) | (13 << 5) | 7, 0},  // month 13
      {(46 << 9) | (12 << 5) | 0, 0},  // day 0
      {(45 << 9) | (2 << 5) | 31, 0},  // 31 February
      {(45 << 9) | (2 << 5) | 29, 0},  // 29 February 2025, not a leap year
      {ok_date, 24 << 11},             // hour 24
      {ok_date, 60 << 5},              // minute 60
      {ok_date, 30},                   // second 60
  };
  for (const Row& row : bad) {
    EXPECT_FALSE(FromDosDateTime({row.date, row.time}).has_value())
        << std::hex << row.date << " " << row.time;
  }
  EXPECT_TRUE(FromDosDateTime({(44 << 9) | (2 << 5) | 29, 0}).has_value());  // 2024 is leap
}

TEST(DateSerial, MatchesTheOriginalPlatformsDayCount) {
  EXPECT_EQ(DateSerial(1899, 12, 30), 0);
  EXPECT_EQ(DateSerial(1900, 3, 1), 61);
  EXPECT_EQ(DateSerial(2026, 12, 7), 46363);
  EXPECT_EQ(DateSerial(2000, 2, 29), 36585);
  for (int serial : {-1, 0, 1, 36585, 46363, 73050}) {
    const CivilDate d = CivilFromSerial(serial);
    EXPECT_EQ(DateSerial(d.year, d.month, d.day), serial);
  }
  const CivilDate d = CivilFromSerial(46363);
  EXPECT_EQ(d.year, 2026);
  EXPECT_EQ(d.month, 12);
  EXPECT_EQ(d.day, 7);
}

TEST(Attributes, DirectoryFileAndReadOnlyFile) {
  namespace fs = std::filesystem;
  const fs::path dir = scratch::NewScratchDir("attr");
  std::ofstream(dir / "f") << "x";
  EXPECT_EQ(FileAttributes(dir), kAttrDirectory);
  EXPECT_EQ(FileAttributes(dir / "f"), kAttrArchive);
  fs::permissions(dir / "f", fs::perms::owner_write, fs::perm_options::remove);
  // Even for root, whom the mode does not stop, the file counts as read-only.
  EXPECT_EQ(FileAttributes(dir / "f"), kAttrArchive | kAttrReadOnly);
  EXPECT_FALSE(FileAttributes(dir / "missing").has_value());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace marvolen
