// The network's state kept beside the call log, so that the status page and the metrics never
// read the log again: "calls.summary/" in the working directory holds
//  - "head.json": up to where the log is counted (which file, by its identity, as logrotate
//    renames "calls.jsonl" to "calls.jsonl.1", and how many bytes of it), a generation that
//    goes up with every change, the calls and bytes per line, the durations' histogram and the
//    calls per day by result;
//  - "NN/NNNN.json", one per office that called (NN its number's hundreds): its last call, last
//    success, its calls of the last 7 days hour by hour, the file list it last reported on an
//    admitted call, and what its next call will get, worked out at the end of its own call.
//  - "NN/rows", the page's rows and the metrics' lines of the offices NN00..NN99, each as it
//    reads until a time of its own (a call leaving a window, a silence crossing its threshold),
//    and "rows", per hundred how many offices and in trouble, the earliest of those times and
//    which numbers have a directory: a page is these pieces put together, never a reading of
//    every office's file. Bringing the summary in line renders again the rows of the offices
//    that called, those whose time came and those whose directory came or went, and only
//    their hundreds' pieces are written.
// Bringing it in line reads only what the log gained since the head's mark (one record after a
// call), under "calls.summary.lock", and rewrites the head and the offices that called. Each
// file is replaced whole (written aside, synced, renamed). An office's file keeps its state
// before the change too: a crash between an office and the head leaves the office one
// generation ahead, and a reader takes its earlier state, so the summary never counts what the
// head does not. A missing or damaged summary, or one whose mark the log no longer has (rotated
// twice, replaced), is rebuilt from the whole log, into an emptied directory: in rounds by office
// number, each reading the log again, when the offices' states would not fit in the rebuild's
// budget at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <stdexcept>
#include <string>

#include "callrec/CallStore.h"
#include "callrec/Report.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace marvolen {

inline constexpr char kSummaryDir[] = "calls.summary";
inline constexpr char kSummaryLock[] = "calls.summary.lock";

// A scan given up because the program is stopping.
class ScanStopped : public std::runtime_error {
 public:
  ScanStopped() : std::runtime_error("detenido") {}
};

// `store` read with an ear for a stop: `stopped` is asked at every record (and damaged line)
// a reading of the whole log hands over, and once it says yes the scan throws ScanStopped. A
// rebuild over a year of compressed logs hears a stop within a record, not when it is done;
// what the log gained since a mark (ScanSince: the last calls) is read whole.
class StoppableStore : public CallStore {
 public:
  StoppableStore(const CallStore& store, std::function<bool()> stopped)
      : store_(store), stopped_(std::move(stopped)) {}
  // For reading only: a record is never written through it.
  void Append(const CallRecord&) override { throw CallLogError("StoppableStore: solo para leer"); }
  StoreMark Scan(const CallFilter& filter, const CallSink& sink,
                 const BadRecordSink& bad) const override;
  std::optional<StoreMark> ScanUpTo(const StoreMark& mark, const CallFilter& filter,
                                    const CallSink& sink, const BadRecordSink& bad) const override;
  StoreMark End() const override { return store_.End(); }
  std::optional<StoreMark> ScanSince(const StoreMark& since, const StoreMark& until,
                                     const CallFilter& filter, const CallSink& sink,
                                     const BadRecordSink& bad) const override;
  void ScanNewestFirst(const CallFilter& filter, const BadRecordSink& bad,
                       const std::function<void(uint64_t calls)>& counted,
                       const std::function<void(const CallRecord&)>& sink) const override;
  std::optional<CallRecord> LatestAdmitted(int office) const override {
    return store_.LatestAdmitted(office);
  }

 private:
  void Check() const {
    if (stopped_ && stopped_()) throw ScanStopped();
  }
  CallSink Heard(const CallSink& sink) const;
  BadRecordSink Heard(const BadRecordSink& bad) const;

  const CallStore& store_;
  const std::function<bool()> stopped_;
};

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

  // Every change also keeps the page's rows and metrics' lines, rendered with the default
  // thresholds (those the station's page uses), or from now on with those of `options` (the
  // time is each change's). Every station's update keeps them, the recorder's at the end of a
  // call too: rows left behind by one update would be rendered all again by the next.
  void KeepRows(const ReportOptions& options);
  // For the update at the end of a call, which a page's update follows: the rows of the offices
  // that called are rendered with their directories looked at one by one, the others keep the
  // directories their rows have, and the page's update, which reads the working directory, brings
  // them in line. A call then costs no reading of a directory of thousands of offices.
  void LeaveDirectoriesToThePage() { list_dirs_ = false; }
  // The page ("estado.html" at `page_path`) and the metrics (`metrics_path`, none when empty)
  // put together from the kept rows, each through `put_page` / `put_metrics`. False, with
  // nothing handed over, when the rows are not in line with the head at `options.now` (no
  // update kept them, or their time has come): the caller reads the offices instead; false
  // too, perhaps after some rows, when a piece turns out damaged: the caller drops them.
  bool PutPage(const ReportOptions& options,
               const std::function<void(const NetworkReport& totals, uint64_t offices,
                                        uint64_t trouble)>& head,
               const std::function<void(std::string_view)>& put_page,
               const std::function<void(std::string_view)>& put_metrics) const;

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
  // Under the lock, when rows are kept: the rows of `changed`, of those whose time came by
  // `now` and of those whose directory came or went rendered again, as of the head's
  // `generation`, on the rows kept at generation `from` (all of them rendered when the kept
  // ones are of another, or when `all`). The directories of all offices are those of a listing
  // of the working directory, or, given `places` (the directories of `changed`) and rows of
  // `from` to start on, those the rows have but for `changed`. False when an office's file
  // turned out damaged.
  bool RefreshRows(WallTime now, const std::vector<int>& changed, uint64_t from,
                   uint64_t generation, bool all, const SurveyPlaces* places = nullptr);

  const std::string work_dir_;
  const CallStore& store_;
  const FileOps& ops_;
  const size_t rebuild_budget_;
  std::optional<ReportOptions> rows_;
  bool list_dirs_ = true;
};

}  // namespace marvolen
