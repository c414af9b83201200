// The process-wide state of the line and of the call in progress. One instance lives in the
// station; the controller, the admission and the script all work on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "call/TableKind.h"
#include "platform/Clock.h"
#include "platform/FileLock.h"

namespace marvolen {

inline constexpr char kStateWaiting[] = "esperando";
inline constexpr char kStateConnecting[] = "conectando";
inline constexpr char kStateConnected[] = "conectado";

enum class TransferKind { kNone = 0, kSendEnvio = 1, kReceive = 2 };

struct CallState {
  // The line.
  std::string LineState;  // "", "esperando", "conectando" or "conectado"
  std::string PreviousLineState;
  int ScriptStep = 0;
  long long StallTime = 0;  // ms of nominal timer intervals spent in one state
  int GreetingCount = 0;
  int StrayLineCount = 0;
  MonoTime LastGreetingTime{};
  MonoTime CallStartTime{};  // the carrier of the call in progress
  int TimerInterval = 5000;  // mirror of Timer1.Interval

  // The script.
  std::string ReplyLine;
  std::string LastCommand;
  TransferKind PendingTransfer = TransferKind::kNone;
  std::string DeleteList;
  std::string DayFileList;
  int DayEnd = 0;

  // The admitted office (raw line bytes, Windows-1252).
  std::string IdentLine = "      Datos";
  TableKind TableExt;
  int OfficeNumber = 0;
  std::filesystem::path OfficeDir;
  std::string OfficeTag;
  int DayFirst = 0;
  int DayLast = 0;
  int SyncClock = 0;
  int8_t RetryCount = 0;
  int RetryPeriod = 0;
  // The office's call lock, from admission until the line is reset.
  std::shared_ptr<FileLock> OfficeLock;
};

}  // namespace marvolen
