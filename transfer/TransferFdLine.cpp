#include "transfer/TransferFdLine.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/Errors.h"
#include "platform/SystemCalls.h"

namespace marvolen {
namespace {

constexpr std::size_t kReadChunk = 65536;
// A write that cannot go on for this long counts as failed.
constexpr int kWriteStallMs = 10000;
// PurgeInput discards what is waiting now, not a stream that never ends.
constexpr int kPurgeReads = 64;

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
  while (have < wanted) {
    const long long left = ElapsedMs(clock_.Now(), deadline);
    if (left <= 0) break;
    if (!clock_.WaitReadable(in_fd_, Millis(left))) continue;
    const ssize_t n =
        RetryOnEintr([&] { return ::read(in_fd_, got.data() + have, wanted - have); });
    if (n > 0) {
      have += static_cast<std::size_t>(n);
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
