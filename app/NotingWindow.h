// The operator's window as the line's work sees it: every line shown in the log view also
// goes to the call's record as a note (the recorder keeps none outside a call).
#pragma once

#include "call/CallObserver.h"
#include "call/OperatorWindow.h"

namespace marvolen {

class NotingWindow final : public ForwardingWindow {
 public:
  NotingWindow(OperatorWindow& window, CallObserver& observer)
      : ForwardingWindow(window), observer_(observer) {}

  void AddLine(std::string_view text) override {
    window_.AddLine(text);
    observer_.Note(text);
  }

 private:
  CallObserver& observer_;
};

}  // namespace marvolen
