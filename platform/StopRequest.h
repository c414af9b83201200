// A request to stop the station (SIGTERM from the service manager, SIGINT on the console). The
// host that catches the signal owns the flag; everything that can keep the station busy for
// more than a moment (a transfer's waits, the script's pauses, the line reset) is handed this
// request and looks at it, so that a stop is heard within a second in every state. Nothing
// reads a process-wide flag of its own: a test sets the request with a plain variable.
#pragma once

#include <algorithm>
#include <functional>
#include <utility>

#include "platform/Clock.h"

namespace marvolen {

// How long a pause runs before it looks at the request again.
inline constexpr Millis kStopPollSlice{250};

class StopRequest {
 public:
  // Never requested.
  StopRequest() = default;
  // Requested once `requested` says so; it must stay valid for as long as the request.
  // `wake_fd`, when there is one, turns readable once the stop is requested and stays so
  // (nobody reads it): a wait on a line can sleep on it beside the line and hear the stop at
  // once instead of at its next look.
  explicit StopRequest(std::function<bool()> requested, int wake_fd = -1)
      : requested_(std::move(requested)), wake_fd_(wake_fd) {}

  bool Requested() const { return requested_ && requested_(); }
  // The descriptor described above, or -1.
  int WakeFd() const { return wake_fd_; }

  // Sleeps `d` on `clock`, looking at the request every kStopPollSlice; false when the pause
  // was cut short because a stop was requested.
  bool Pause(Clock& clock, Millis d) const {
    const MonoTime end = clock.Now() + d;
    for (MonoTime now = clock.Now(); now < end; now = clock.Now()) {
      if (Requested()) return false;
      clock.Sleep(std::min(kStopPollSlice, std::chrono::ceil<Millis>(end - now)));
    }
    return !Requested();
  }

 private:
  std::function<bool()> requested_;
  int wake_fd_ = -1;
};

}  // namespace marvolen
