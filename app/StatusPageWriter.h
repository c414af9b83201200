// Rewrites the network's status page and the metrics file after each call and each change of a
// line's state without holding up the line. The page comes from the status summary beside the
// call log, but a summary that is missing or damaged is rebuilt from the whole log first (about
// two seconds per million records), longer than the modem reset that follows a call may wait,
// so the page is written by a worker thread of its own. With several stations on one working
// directory one writes at a time; the others leave it a mark and it writes once more.
// Calls that end while a page is being written ask for one more page, written once the
// current one is done; the page always reflects a log at least as new as the last request.
// Pages are spaced by a hundred times what the last one took, at most 30 s, counted from the
// page on the disk whichever station wrote it: on a large network with many lines a page costs
// a good part of a second and calls end every few seconds, and a browser reloads the page once
// a minute anyway. A page that takes a few milliseconds still follows each call at once.
//
// A stop is heard within a record of the log, whatever the page is doing: the unit's stop
// timeout is never spent waiting for a rebuild.
//
// A thread rather than a child process: the window's toolkit runs threads of its own, and a
// child of a threaded process may only make the few calls that are safe after fork.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Clock.h"

namespace marvolen {

class StatusPageWriter {
 public:
  // `work_dir` ends in "/"; the page is its "estado.html". The metrics ("marvolen.prom") go
  // to `metrics_dir` (ending in "/"); when it is empty, to the directory in
  // MARVOLEN_METRICS_DIR, else the working directory.
  // `least_spacing` holds pages at least that far apart whatever they cost (for tests).
  StatusPageWriter(std::string work_dir, const Clock& clock, std::string metrics_dir = {},
                   std::chrono::milliseconds least_spacing = {});
  // Waits for a page being written to be finished, so none is left half made.
  ~StatusPageWriter();
  StatusPageWriter(const StatusPageWriter&) = delete;
  StatusPageWriter& operator=(const StatusPageWriter&) = delete;

  // Asks for the page to be written again. Gives back the error of the last page written
  // since the previous request, empty when there was none, and when it is the one given last
  // time and no page has been written since: a log that stays unreadable (a FIFO in its place)
  // is told once, not after every call.
  std::string Request();
  // Waits until every page asked for has been written, without spacing (for tests and
  // orderly ends).
  void Flush();

 private:
  using SteadyTime = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  void Work();
  // When the page after one begun at `started`, and done now, may begin; keeps the spacing.
  SteadyTime SpacedFrom(SteadyTime started);
  // When the next page may begin after the page on the disk, whichever station wrote it, with
  // this station's last spacing (at least `least_spacing`).
  SteadyTime SpacedFromPageOnDisk() const;
  // After a page begun at `started`: waits out the spacing unless the writer is stopping or
  // flushing; false when it is stopping.
  bool SpaceAfter(SteadyTime started, std::unique_lock<std::mutex>& lock);

  const std::string work_dir_;
  const std::string metrics_dir_;
  const Clock& clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  bool pending_ = false;
  WallTime now_{};  // the time of the latest request, read on the caller's thread
  bool writing_ = false;
  bool stop_ = false;
  // Set with stop_, read without the lock: a rebuild of the summary over a year of compressed
  // logs hears it at its next record.
  std::atomic<bool> stopping_{false};
  bool flushing_ = false;
  const std::chrono::milliseconds least_spacing_;
  SteadyTime next_page_{};  // no page before this unless stopping or flushing
  Duration spacing_{};      // after this station's last page
  std::string error_;
  std::string told_;  // the error given last, until a page is written
  std::thread worker_;
};

}  // namespace marvolen
