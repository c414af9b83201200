// The far end of a transfer played by the test on the virtual clock: the line records what
// our side sends and when, hands each send to the peer's script, and delivers the peer's
// bytes when the script says so.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "transfer/TransferLine.h"

namespace marvolen::testing {

class ScriptedTransferLine final : public TransferLine {
 public:
  struct Sent {
    long long at_ms;
    std::string bytes;
  };
  explicit ScriptedTransferLine(VirtualClock& clock) : clock_(clock) {}

  std::function<void(const std::string& bytes)> on_send;  // the peer's reaction
  std::vector<Sent> sent;
  bool carrier_lost = false;
  bool read_fails = false;
  int purges = 0;
  int purge_alls = 0;
  std::vector<std::size_t> wanted;  // what each ReceiveAtLeast asked for

  // The peer's bytes reach our input `delay` from now.
  void Deliver(std::string bytes, Millis delay = Millis(20)) {
    clock_.At(delay, [this, b = std::move(bytes)] { inbox_ += b; });
  }
  const std::string& Inbox() const { return inbox_; }
  long long NowMs() const { return clock_.ElapsedSinceStart(); }

  void SendText(std::string_view bytes) override {
    sent.push_back({NowMs(), std::string(bytes)});
    if (on_send) on_send(sent.back().bytes);
  }
  std::string ReceiveText(int seconds) override {
    read_error_ = read_fails ? "ERROR LEYENDO COM1. 5: Input/output error. " : "";
    for (const long long end = NowMs() + seconds * 1000LL; !read_fails;
         clock_.Advance(Millis(10))) {
      if (!inbox_.empty()) return std::exchange(inbox_, {});
      if (NowMs() >= end) break;
    }
    return {};
  }
  std::string ReceiveAtLeast(int seconds, std::size_t n) override {
    wanted.push_back(n);
    return ReceiveText(seconds);
  }
  std::string ReadErrorText() const override { return read_error_; }
  bool CarrierLost() override { return carrier_lost; }
  void PurgeInput() override { ++purges, inbox_.clear(); }
  void PurgeAll() override { ++purge_alls, inbox_.clear(); }
  void Unread(std::string_view bytes) override { inbox_.insert(0, bytes); }
  Clock& LineClock() override { return clock_; }

 private:
  VirtualClock& clock_;
  std::string inbox_;
  std::string read_error_;
};

}  // namespace marvolen::testing
