// A transfer line over a pair of file descriptors: standard input and output for
// marvolen-xfer, a socket to a peer program in the tests. There is no modem status here, so
// the carrier counts as present; the far end closing its side makes every later read fail,
// which ends a transfer at its next wait instead of letting it wait out its time-outs.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "transfer/TransferLine.h"

namespace marvolen {

class FdTransferLine final : public TransferLine {
 public:
  // Reads `in_fd` and writes `out_fd` (they may be the same); neither is closed here.
  // `log` gets the line's error lines ("*ERROR WRITE: ...", "*ERROR Recibiendo dato: ...").
  FdTransferLine(int in_fd, int out_fd, Clock& clock,
                 std::function<void(std::string_view)> log = {});

  void SendText(std::string_view bytes) override;
  std::string ReceiveText(int seconds) override;
  // Reads straight into the piece it returns, at most `wanted` bytes, and goes back to wait
  // for the rest itself: a paced line brings a frame a few bytes at a time, and from the pace
  // it has shown the line sleeps until the rest should have come.
  std::string ReceiveAtLeast(int seconds, std::size_t wanted) override;
  std::string ReadErrorText() const override { return read_error_; }
  bool CarrierLost() override { return false; }
  void PurgeInput() override;
  void PurgeAll() override { PurgeInput(); }
  void Unread(std::string_view bytes) override { held_.insert(0, bytes); }
  Clock& LineClock() override { return clock_; }

 private:
  void ReadFailed(std::string text);
  // Sleeps, before `deadline`, for the time `bytes` take at the line's measured pace; true
  // when it slept.
  bool Nap(std::size_t bytes, MonoTime deadline);
  // `bytes` came in one read, `took` after the one before; `after_nap`: a sleep ended with
  // the whole rest of the frame here.
  void Paced(std::size_t bytes, std::chrono::nanoseconds took, bool after_nap);

  int in_fd_;
  int out_fd_;
  Clock& clock_;
  std::function<void(std::string_view)> log_;
  std::string held_;
  std::string read_error_;
  std::string buffer_;
  bool closed_ = false;
  // The pace the far end's bytes came at when last measured, per millisecond; 0: unknown.
  double bytes_per_ms_ = 0;
};

}  // namespace marvolen
