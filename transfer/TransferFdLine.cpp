#include "transfer/TransferFdLine.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/SystemCalls.h"

namespace marvolen {
namespace {

constexpr std::size_t kReadChunk = 65536;
// A write that cannot go on for this long counts as failed.
constexpr int kWriteStallMs = 10000;
// PurgeInput discards what is waiting now, not a stream that never ends.
constexpr int kPurgeReads = 64;
// How much faster than last measured the line is taken to be after a sleep that found the
// whole rest of a frame already come.
constexpr double kPaceProbe = 2;
// The share of the time the rest of a frame takes at the measured pace that the line sleeps.
constexpr double kNapShare = 0.9;

std::string SystemText(int code) {
  return std::to_string(code) + ": " + SystemReason(code) + ". ";
}

bool ReadableNow(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

}  // namespace

FdTransferLine::FdTransferLine(int in_fd, int out_fd, Clock& clock,
                               std::function<void(std::string_view)> log)
    : in_fd_(in_fd), out_fd_(out_fd), clock_(clock), log_(std::move(log)) {}

void FdTransferLine::SendText(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = RetryOnEintr([&] { return ::write(out_fd_, bytes.data(), bytes.size()); });
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    const int code = errno;
    if (n < 0 && code == EAGAIN) {
      pollfd p{out_fd_, POLLOUT, 0};
      if (::poll(&p, 1, kWriteStallMs) > 0) continue;
    }
    if (log_) log_("*ERROR WRITE: ERROR ESCRIBIENDO LINEA. " + SystemText(code));
    return;
  }
}

std::string FdTransferLine::ReceiveText(int seconds) {
  read_error_.clear();
  if (!held_.empty()) return std::exchange(held_, {});
  if (closed_) {
    ReadFailed("ERROR, LINEA CERRADA. ");
    return {};
  }
  const MonoTime deadline = clock_.Now() + std::chrono::seconds(seconds);
  for (;;) {
    const long long left = ElapsedMs(clock_.Now(), deadline);
    if (left <= 0) return {};
    if (!clock_.WaitReadable(in_fd_, Millis(left))) continue;
    // One buffer for every read: a paced line delivers a few bytes a time, and a fresh
    // 64 KiB per read would cost more than the transfer itself.
    buffer_.resize(kReadChunk);
    const ssize_t n = RetryOnEintr([&] { return ::read(in_fd_, buffer_.data(), buffer_.size()); });
    if (n > 0) return std::string(buffer_.data(), static_cast<std::size_t>(n));
    if (n == 0) {
      closed_ = true;
      ReadFailed("ERROR, LINEA CERRADA. ");
      return {};
    }
    if (errno == EAGAIN) continue;
    ReadFailed("ERROR LEYENDO LINEA. " + SystemText(errno));
    return {};
  }
}

std::string FdTransferLine::ReceiveAtLeast(int seconds, std::size_t wanted) {
  if (!held_.empty() || closed_ || wanted <= 1) return ReceiveText(seconds);
  read_error_.clear();
  std::string got(wanted, '\0');
  std::size_t have = 0;
  const MonoTime deadline = clock_.Now() + std::chrono::seconds(seconds);
  MonoTime last_read = clock_.Now();
  // What is here already is taken at once: a line that has become faster is not slept for.
  bool look_first = true;
  while (have < wanted) {
    bool napped = false;
    const bool here = look_first && clock_.WaitReadable(in_fd_, Millis(0));
    look_first = false;
    if (!here) {
      // A paced line brings the rest at the pace it has kept: sleep until nearly all of it
      // should be here instead of waking for every part of it, as a device that knows the
      // line's timing does. The wait below takes what is still to come as it comes.
      napped = Nap(wanted - have, deadline);
      const long long left = ElapsedMs(clock_.Now(), deadline);
      if (!clock_.WaitReadable(in_fd_, Millis(std::max(left, 0LL)))) {
        if (left <= 0) break;
        continue;
      }
    }
    const ssize_t n = SystemFileOps().read(in_fd_, got.data() + have, wanted - have);
    if (n > 0) {
      have += static_cast<std::size_t>(n);
      const MonoTime now = clock_.Now();
      Paced(static_cast<std::size_t>(n), now - last_read, napped && have == wanted);
      last_read = now;
      continue;
    }
    if (n < 0 && errno == EAGAIN) continue;
    // What came before the end or the error is the caller's; the next read reports it.
    if (n == 0) closed_ = true;
    if (have == 0) {
      ReadFailed(n == 0 ? "ERROR, LINEA CERRADA. " : "ERROR LEYENDO LINEA. " + SystemText(errno));
    }
    break;
  }
  got.resize(have);
  return got;
}

bool FdTransferLine::Nap(std::size_t bytes, MonoTime deadline) {
  if (bytes_per_ms_ <= 0) return false;
  // A little short of the whole time, so that the last part is waited for and taken as it
  // comes, not found late.
  const auto nap = static_cast<long long>(kNapShare * static_cast<double>(bytes) / bytes_per_ms_);
  const long long left = ElapsedMs(clock_.Now(), deadline);
  if (nap <= 0 || left <= 0) return false;
  clock_.Sleep(Millis(std::min(nap, left)));
  return true;
}

void FdTransferLine::Paced(std::size_t bytes, std::chrono::nanoseconds took, bool after_nap) {
  // A sleep that ended with the whole rest already here may have lasted longer than the line
  // needed: the line may be faster than measured, and the next sleep is made shorter. Any
  // other read measures the pace: the bytes that came while the reader waited for them.
  if (after_nap) {
    bytes_per_ms_ *= kPaceProbe;
    return;
  }
  const double ms = std::chrono::duration<double, std::milli>(took).count();
  if (ms > 0) bytes_per_ms_ = static_cast<double>(bytes) / ms;
}

void FdTransferLine::ReadFailed(std::string text) {
  read_error_ = std::move(text);
  if (log_) log_("*ERROR Recibiendo dato: " + read_error_);
}

void FdTransferLine::PurgeInput() {
  held_.clear();
  char buffer[4096];
  for (int i = 0; i < kPurgeReads && !closed_ && ReadableNow(in_fd_); ++i) {
    const ssize_t n = ::read(in_fd_, buffer, sizeof buffer);
    if (n == 0) closed_ = true;
    if (n <= 0) break;
  }
}

}  // namespace marvolen
