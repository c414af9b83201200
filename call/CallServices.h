// What the line controller, the admission and the script share: the call state and the
// services around it. The station builds one and hands it to each of them.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include "call/CallLine.h"
#include "call/CallObserver.h"
#include "call/CallState.h"
#include "call/OperatorWindow.h"
#include "platform/Clock.h"

namespace marvolen {

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
