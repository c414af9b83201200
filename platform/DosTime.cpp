#include "platform/DosTime.h"

namespace marvolen {

uint32_t AttributeWord(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return kAttrDirectory;
  uint32_t word = kAttrArchive;
  if ((st.st_mode & S_IWUSR) == 0) word |= kAttrReadOnly;
  return word;
}

std::optional<uint32_t> FileAttributes(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return AttributeWord(st);
}

DosDateTime ToDosDateTime(std::time_t t) {
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr) return {0x21, 0};
  const int year = tm.tm_year + 1900;
  if (year < 1980) return {(0 << 9) | (1 << 5) | 1, 0};
  if (year > 2107) return {(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29};
  DosDateTime dos;
  dos.date = static_cast<uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  const int second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second is not a DOS time
  dos.time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (second / 2));
  return dos;
}

namespace {
bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}
}  // namespace

std::optional<std::time_t> FromDosDateTime(DosDateTime dos) {
  const int year = 1980 + (dos.date >> 9);
  const int month = (dos.date >> 5) & 0x0F;
  const int day = dos.date & 0x1F;
  const int hour = dos.time >> 11;
  const int minute = (dos.time >> 5) & 0x3F;
  const int second = (dos.time & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return t;
}

// Days from civil, after Howard Hinnant's algorithm; day 0 of the serial is 1899-12-30,
// which is 25569 days before 1970-01-01.
int DateSerial(int year, int month, int day) {
  const int y = month <= 2 ? year - 1 : year;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 25569;
}

CivilDate CivilFromSerial(int serial) {
  const int z = serial - 25569 + 719468;
  const int era = (z >= 0 ? z : z - 146096) / 146097;
  const int doe = z - era * 146097;
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  const int day = doy - (153 * mp + 2) / 5 + 1;
  const int month = mp < 10 ? mp + 3 : mp - 9;
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

}  // namespace marvolen
