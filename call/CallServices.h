// What the line controller, the admission and the script share: the call state and the
// services around it. The station builds one and hands it to each of them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include "call/CallLine.h"
#include "call/CallObserver.h"
#include "call/CallState.h"
#include "call/OperatorWindow.h"
#include "platform/CallProgress.h"
#include "platform/Clock.h"
#include "platform/StopRequest.h"

namespace marvolen {

// Bounds every call keeps, whatever the office does: an office that trickles one good block
// now and then would otherwise hold the line, and its office lock, for good. The time is
// bounded by progress, never by age alone (see platform/CallProgress.h): a call is cut when
// nothing has moved for `max_idle_time`, or when it outlasts `max_call_time` plus four times
// the line time of what it has moved.
struct CallLimits {
  Millis max_call_time{30 * 60 * 1000};           // the allowance before any byte has moved
  std::uint64_t max_archive_bytes = 64ull << 20;  // one archive received from the office
  // Longer than any silence the protocol itself tolerates: a receiver waiting for its first
  // block (some 86 s), the script's stall budget (30 s), the greetings (50 s).
  Millis max_idle_time{5 * 60 * 1000};
  std::uint32_t line_bits_per_second = 9600;  // the station's configured speed

  ProgressLimits Progress() const { return {max_idle_time, max_call_time, line_bits_per_second}; }
};

struct CallServices {
  CallState& state;
  CallLine& line;
  OperatorWindow& window;
  Clock& clock;
  // The activity log: a line with the event, or an empty text to flush the buffer to its file.
  std::function<void(std::string_view)> log_event;
  std::filesystem::path exe_dir;  // the station home, where "envio.zip" is built
  // Keeps the call's record; none when left null.
  CallObserver* observer = nullptr;
  // The station is being stopped: the call in progress ends at the next look.
  StopRequest stop{};
  CallLimits limits{};

  CallObserver& events() const {
    static CallObserver none;
    return observer != nullptr ? *observer : none;
  }

  // Shows a line in the log view and logs it too, as most of the call's events are.
  void ShowAndLog(std::string_view text) const {
    window.AddLine(text);
    log_event(text);
  }
  void SetTimerInterval(int ms) const {
    state.TimerInterval = ms;
    window.SetTimerInterval(ms);
  }
};

}  // namespace marvolen
