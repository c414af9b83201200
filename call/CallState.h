// The state of the line and of the call in progress that the line controller, the admission,
// the script and the station's live view share. One instance lives in the station. What only
// the script needs between two ticks (the reply being read, the command awaiting its echo, the
// day files asked for) is the script's own and lives in call/SupervisionScript.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "call/ScriptSteps.h"
#include "call/TableKind.h"
#include "platform/CallProgress.h"
#include "platform/Clock.h"
#include "platform/FileLock.h"

namespace marvolen {

inline constexpr char kStateWaiting[] = "esperando";
inline constexpr char kStateConnecting[] = "conectando";
inline constexpr char kStateConnected[] = "conectado";

// What admission found out about the office it let in, for the script to work from: set as
// one value when the office is admitted and left alone until the next one is.
struct AdmittedOffice {
  int OfficeNumber = 0;
  std::filesystem::path OfficeDir;  // the office's directory, as found on the disk
  std::string OfficeTag;            // four digits
  int32_t DayFirst = 0;             // date serials
  int32_t DayLast = 0;
  int32_t SyncClock = 0;
  int8_t RetryCount = 0;
  int32_t RetryPeriod = 0;
  std::string DeleteList;  // Windows-1252: "tablas\NAME", "upgrade\NAME" or empty
};

struct CallState {
  // The line.
  std::string LineState;  // "", "esperando", "conectando" or "conectado"
  std::string PreviousLineState;
  int ScriptStep = script::kTables;  // see call/ScriptSteps.h
  long long StallTime = 0;           // ms of nominal timer intervals spent in one state
  int GreetingCount = 0;
  int StrayLineCount = 0;
  MonoTime LastGreetingTime{};
  MonoTime CallStartTime{};  // the carrier of the call in progress
  // What the call in progress has moved and when, which bounds how long it may go on.
  CallProgress Progress;
  int TimerInterval = 5000;  // mirror of Timer1.Interval

  // The caller: its identification (raw line bytes, Windows-1252), which the activity log
  // carries, and the table kind it gave, which carries over to the next call.
  std::string IdentLine = "      Datos";
  TableKind TableExt;

  // The office in the call ("conectado"), and its call lock, which the line holds from
  // admission until it is reset.
  AdmittedOffice Office;
  std::shared_ptr<FileLock> OfficeLock;
};

}  // namespace marvolen
