#include "app/StatusPageWriter.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <exception>

#include "callrec/Report.h"

namespace marvolen {

namespace {

// node_exporter's textfile collector reads one directory for every program on the machine:
// MARVOLEN_METRICS_DIR names it.
std::string MetricsDir(const std::string& work_dir, std::string given) {
  if (given.empty()) {
    const char* env = std::getenv("MARVOLEN_METRICS_DIR");
    given = env && *env ? env : work_dir;
  }
  return given.back() == '/' ? given : given + "/";
}

}  // namespace

StatusPageWriter::StatusPageWriter(std::string work_dir, const Clock& clock,
                                   std::string metrics_dir, std::chrono::milliseconds least_spacing)
    : work_dir_(std::move(work_dir)),
      metrics_dir_(MetricsDir(work_dir_, std::move(metrics_dir))),
      clock_(clock),
      least_spacing_(least_spacing),
      worker_([this] { Work(); }) {}

StatusPageWriter::~StatusPageWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

std::string StatusPageWriter::Request() {
  std::string error;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = true;
    now_ = clock_.WallNow();
    if (!error_.empty() && error_ != told_) error = told_ = error_;
    error_.clear();
  }
  wake_.notify_all();
  return error;
}

void StatusPageWriter::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  flushing_ = true;
  wake_.notify_all();
  idle_.wait(lock, [this] { return !pending_ && !writing_; });
  flushing_ = false;
}

StatusPageWriter::SteadyTime StatusPageWriter::SpacedFrom(SteadyTime started) {
  constexpr std::chrono::milliseconds kLongestSpacing{30000};
  constexpr int kSpacingPerCost = 100;
  const SteadyTime ended = std::chrono::steady_clock::now();
  spacing_ = std::max<Duration>(
      least_spacing_, std::min<Duration>((ended - started) * kSpacingPerCost, kLongestSpacing));
  return ended + spacing_;
}

StatusPageWriter::SteadyTime StatusPageWriter::SpacedFromPageOnDisk() const {
  struct stat st {};
  if (::stat((work_dir_ + kPageName).c_str(), &st) != 0) return {};
  const auto written = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  // A page dated ahead (another machine's clock) counts as just written.
  const Duration age =
      std::max<Duration>(Duration::zero(), std::chrono::system_clock::now() - written);
  const Duration spacing = std::max<Duration>(least_spacing_, spacing_);
  return std::chrono::steady_clock::now() + std::max<Duration>(Duration::zero(), spacing - age);
}

bool StatusPageWriter::SpaceAfter(SteadyTime started, std::unique_lock<std::mutex>& lock) {
  next_page_ = SpacedFrom(started);
  wake_.wait_until(lock, next_page_, [this] { return stop_ || flushing_; });
  return !stop_;
}

void StatusPageWriter::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return pending_ || stop_; });
    if (!pending_) return;  // stopping with nothing asked for
    // Requests that come while the last page's spacing runs are served by one page.
    wake_.wait_until(lock, next_page_, [this] { return stop_ || flushing_; });
    // Another station's page counts as this one's own: with several lines the pages are spaced
    // across the network, not line by line (a page costs any station about the same).
    wake_.wait_until(lock, SpacedFromPageOnDisk(), [this] { return stop_ || flushing_; });
    pending_ = false;
    writing_ = true;
    ReportOptions options;
    options.work_dir = work_dir_;
    options.now = now_;
    lock.unlock();
    std::string error;
    // The page and the further ones it writes for changes made meanwhile, each spaced.
    SteadyTime started = std::chrono::steady_clock::now();
    const auto space = [&] {
      std::unique_lock<std::mutex> relock(mutex_);
      const bool go_on = SpaceAfter(started, relock);
      started = std::chrono::steady_clock::now();
      return go_on;
    };
    bool wrote = true;
    try {
      wrote =
          WriteStatusPage(options, {}, metrics_dir_, space, [this] { return stopping_.load(); });
    } catch (const std::exception& e) {
      error = e.what();
    }
    // A rebuild of the summary, or a page of thousands of offices, leaves megabytes of freed
    // heap that a small block still in use above them keeps from going back to the system:
    // hand the free pages back, so that a waiting line stays small.
    malloc_trim(0);
    lock.lock();
    // Waited before the next request's page. A page left to another station's writer says
    // nothing of what a page costs.
    if (wrote) next_page_ = SpacedFrom(started);
    writing_ = false;
    if (!error.empty()) {
      error_ = "estado.html, " + std::string(kMetricsName) + ": " + error;
    } else {
      told_.clear();
    }
    idle_.notify_all();
  }
}

}  // namespace marvolen
