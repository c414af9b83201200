#include "platform/LocalTime.h"

#include <cstdio>
#include <ctime>

#include "platform/DosTime.h"

namespace marvolen {

LocalDateTime ToLocal(WallTime t) {
  const auto since_epoch = t.time_since_epoch();
  const auto secs = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const std::time_t tt = static_cast<std::time_t>(secs.count());
  std::tm tm{};
  ::localtime_r(&tt, &tm);
  LocalDateTime out;
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  out.millisecond =
      static_cast<int>(std::chrono::duration_cast<Millis>(since_epoch - secs).count());
  return out;
}

std::string FormatDdMmYyyy(const LocalDateTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d%02d%04d", t.day, t.month, t.year);
  return buf;
}

std::string FormatDdMmYyyyHhMmSs(const LocalDateTime& t) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02d%02d%04d%02d%02d%02d", t.day, t.month, t.year, t.hour,
                t.minute, t.second);
  return buf;
}

int LocalDateSerial(WallTime t) {
  const LocalDateTime l = ToLocal(t);
  return DateSerial(l.year, l.month, l.day);
}

}  // namespace marvolen
