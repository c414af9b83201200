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
#include "platform/Clock.h"
#include "platform/StopRequest.h"

namespace marvolen {

// Bounds every call keeps, whatever the office does: an office that trickles one good block
// now and then would otherwise hold the line, and its office lock, for good.
struct CallLimits {
  Millis max_call_time{30 * 60 * 1000};           // from the carrier to the hang-up
  std::uint64_t max_archive_bytes = 64ull << 20;  // one archive received from the office
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
