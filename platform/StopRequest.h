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
  explicit StopRequest(std::function<bool()> requested) : requested_(std::move(requested)) {}

  bool Requested() const { return requested_ && requested_(); }

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
};

}  // namespace marvolen
