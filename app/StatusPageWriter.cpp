#include "app/StatusPageWriter.h"

#include <exception>

#include "callrec/Report.h"

namespace marvolen {

StatusPageWriter::StatusPageWriter(std::string work_dir, const Clock& clock)
    : work_dir_(std::move(work_dir)), clock_(clock), worker_([this] { Work(); }) {}

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
      WriteStatusPage(options);
    } catch (const std::exception& e) {
      error = e.what();
    }
    lock.lock();
    writing_ = false;
    if (!error.empty()) {
      error_ = "estado.html: " + error;
    } else {
      told_.clear();
    }
    idle_.notify_all();
  }
}

}  // namespace marvolen
