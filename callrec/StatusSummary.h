// The network's state kept beside the call log, so that the status page and the metrics never
// read the log again: "calls.summary/" in the working directory holds
//  - "head.json": up to where the log is counted (which file, by its identity, as logrotate
//    renames "calls.jsonl" to "calls.jsonl.1", and how many bytes of it), a generation that
//    goes up with every change, the calls and bytes per line, the durations' histogram and the
//    calls per day by result;
//  - "NN/NNNN.json", one per office that called (NN its number's hundreds): its last call, last
//    success, its calls of the last 7 days for the windows, the file list it last reported on an
//    admitted call, and what its next call will get, worked out at the end of its own call.
// Bringing it in line reads only what the log gained since the head's mark (one record after a
// call), under "calls.summary.lock", and rewrites the head and the offices that called. Each
// file is replaced whole (written aside, synced, renamed). An office's file keeps its state
// before the change too: a crash between an office and the head leaves the office one
// generation ahead, and a reader takes its earlier state, so the summary never counts what the
// head does not. A missing or damaged summary, or one whose mark the log no longer has (rotated
// twice, replaced), is rebuilt from the whole log: in rounds by office number, each reading the
// log again, when the offices' states would not fit in the rebuild's budget at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "callrec/CallStore.h"
#include "callrec/Report.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace marvolen {

inline constexpr char kSummaryDir[] = "calls.summary";
inline constexpr char kSummaryLock[] = "calls.summary.lock";

class StatusSummary {
 public:
  // What a rebuild holds of the offices' states at a time: a network whose states outgrow it
  // is counted in rounds, each reading the log again.
  static constexpr size_t kRebuildBudget = 1 << 20;

  // `work_dir` ends in "/"; `store` holds its calls. Both must outlive the summary.
  StatusSummary(std::string work_dir, const CallStore& store, const FileOps& ops = SystemFileOps(),
                size_t rebuild_budget = kRebuildBudget);

  enum class Outcome {
    kInLine,        // nothing new in the log
    kUpdated,       // the new records are counted
    kRebuilt,       // counted again from the whole log
    kNeedsRebuild,  // missing or damaged, and a rebuild was not allowed
    kLocked,        // another station held the lock past `lock_wait`: nothing written
  };
  // Counts what the log gained since the summary's mark. When the summary must be rebuilt it
  // is, if the log's newest file holds at most `rebuild_up_to` bytes (a rebuild reads the
  // whole log: at the end of a call only while it is small). The lock is waited for up to
  // `lock_wait`; without it nothing is written. Throws CallLogError when the log cannot be
  // read, FileError when the summary cannot be written or the lock cannot be taken for
  // another reason than another holder.
  static constexpr uint64_t kAnySize = UINT64_MAX;
  Outcome Update(WallTime now, uint64_t rebuild_up_to, std::chrono::milliseconds lock_wait);
  // Counts the whole log again, as for a damaged summary: for one found damaged by a reader.
  // kRebuilt, or kLocked; throws as Update.
  Outcome Rebuild(WallTime now, std::chrono::milliseconds lock_wait);

  // The network's state from the summary alone, as BuildReport gives it from the log with the
  // delivery survey, at `options.now`: offices (those with a directory too), lines, counts;
  // the damaged lines are counted, not listed. Nullopt when the summary is missing or damaged.
  std::optional<NetworkReport> Read(const ReportOptions& options) const;
  // The same, handing each office to `each` in the order of their numbers instead of keeping
  // them in the report (whose `offices` stays empty): memory bounded by one office whatever
  // their number. Nullopt when the summary is missing or damaged, which may be found after
  // some offices were handed over.
  std::optional<NetworkReport> Read(const ReportOptions& options,
                                    const std::function<void(OfficeStatus&)>& each) const;

  // The head's generation, 0 when there is no readable summary.
  uint64_t Generation() const;

 private:
  std::string Dir() const { return work_dir_ + kSummaryDir + "/"; }
  Outcome BringInLine(WallTime now, uint64_t rebuild_up_to, std::chrono::milliseconds lock_wait,
                      bool damaged);
  // Under the lock: the summary made again from the log, the next generation after
  // `generation`.
  void RebuildFromLog(WallTime now, uint64_t generation);
  // The office's file, with its next delivery worked out; `prior` its state as of the head.
  void WriteOffice(OfficeStatus& s, const SurveyPlaces& places, WallTime now, uint64_t generation,
                   const nlohmann::json& prior);

  const std::string work_dir_;
  const CallStore& store_;
  const FileOps& ops_;
  const size_t rebuild_budget_;
};

}  // namespace marvolen
