// Local date and time broken down, and the fixed formats the station puts in file names and
// on the line.
#pragma once

#include <string>

#include "platform/Clock.h"

namespace marvolen {

struct LocalDateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

LocalDateTime ToLocal(WallTime t);
// "ddmmyyyy"
std::string FormatDdMmYyyy(const LocalDateTime& t);
// "ddmmyyyyhhmmss"
std::string FormatDdMmYyyyHhMmSs(const LocalDateTime& t);
// The date serial (days since 30 December 1899) of the local day of `t`.
int LocalDateSerial(WallTime t);

}  // namespace marvolen
