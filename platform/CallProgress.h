// What bounds a call: not its age but its progress. A call is cut when nothing has moved for
// the idle bound, or when it has lasted longer than a base allowance plus a generous multiple
// of the time its moved bytes take on the line. A delivery that keeps moving, even at a
// fraction of the line's speed, is never cut however large it is; an office that trickles a
// block now and then falls behind the allowance and is cut.
//
// The line controller starts it at the carrier and looks at it at every tick; the script
// notes the office's replies; the transfers report each block acknowledged or accepted and
// look at it every second. Like the stop request, it is a plain object a test can drive.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/Clock.h"

namespace marvolen {

struct ProgressLimits {
  Millis idle{5 * 60 * 1000};   // nothing moved for this long ends the call
  Millis base{30 * 60 * 1000};  // the allowance before any byte has moved
  // The line's speed, for the time a byte takes (10 bit times: start, 8 data, stop). 0: not
  // known, and the moved bytes add nothing to the allowance.
  std::uint32_t bits_per_second = 9600;
};

// Which bound a call has reached.
enum class CallBound { kNone, kIdle, kTotal };

class CallProgress {
 public:
  // Each moved byte adds this many times its line time to the allowance: a transfer moving at
  // more than a quarter of the line's speed gains time faster than it spends it.
  static constexpr int kSlack = 4;
  static constexpr int kBitsPerByte = 10;

  // A new call begins at `now`.
  void Start(MonoTime now, const ProgressLimits& limits) {
    limits_ = limits;
    start_ = last_ = now;
    bytes_ = 0;
  }
  // Something moved at `now`: a block (its `bytes` of data), a reply, the identification.
  void Moved(std::uint64_t bytes, MonoTime now) {
    bytes_ += bytes;
    last_ = std::max(last_, now);
  }

  std::uint64_t Bytes() const { return bytes_; }
  const ProgressLimits& Limits() const { return limits_; }
  // The base allowance and the slack on the line time of the bytes moved so far.
  Millis Allowance() const {
    if (limits_.bits_per_second == 0) return limits_.base;
    // Whole milliseconds, rounded down; 2^40 bytes is far beyond any archive bound and keeps
    // the product inside 64 bits.
    const std::uint64_t bytes = std::min<std::uint64_t>(bytes_, 1ull << 40);
    const std::uint64_t ms = bytes * kBitsPerByte * 1000 * kSlack / limits_.bits_per_second;
    return limits_.base + Millis(static_cast<Millis::rep>(ms));
  }
  MonoTime IdleDeadline() const { return last_ + limits_.idle; }
  MonoTime TotalDeadline() const { return start_ + Allowance(); }
  // The earlier of the two: the call must be looked at by then.
  MonoTime Deadline() const { return std::min(IdleDeadline(), TotalDeadline()); }
  // The bound reached at `now`, the one reached first when both are.
  CallBound Reached(MonoTime now) const {
    if (now < Deadline()) return CallBound::kNone;
    return IdleDeadline() <= TotalDeadline() ? CallBound::kIdle : CallBound::kTotal;
  }

 private:
  ProgressLimits limits_;
  MonoTime start_{};
  MonoTime last_{};
  std::uint64_t bytes_ = 0;
};

}  // namespace marvolen
