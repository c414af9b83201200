#include "app/StatusPageWriter.h"

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
                                   std::string metrics_dir)
    : work_dir_(std::move(work_dir)),
      metrics_dir_(MetricsDir(work_dir_, std::move(metrics_dir))),
      clock_(clock),
      worker_([this] { Work(); }) {}

StatusPageWriter::~StatusPageWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
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
  idle_.wait(lock, [this] { return !pending_ && !writing_; });
}

void StatusPageWriter::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return pending_ || stop_; });
    if (!pending_) return;  // stopping with nothing asked for
    pending_ = false;
    writing_ = true;
    ReportOptions options;
    options.work_dir = work_dir_;
    options.now = now_;
    lock.unlock();
    std::string error;
    try {
      WriteStatusPage(options, {}, metrics_dir_);
    } catch (const std::exception& e) {
      error = e.what();
    }
    lock.lock();
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
