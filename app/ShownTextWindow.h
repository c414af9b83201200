// The operator's window as the station uses it: every text on its way to the log view, the
// status bar or a message box passes ShownText first, so that nothing a caller sends (an
// identification field, a reply, an archive member's name) reaches the screen or the console
// as control characters. Everything else goes straight to the window it wraps.
#pragma once

#include "call/OperatorWindow.h"
#include "platform/ShownText.h"

namespace marvolen {

class ShownTextWindow final : public ForwardingWindow {
 public:
  explicit ShownTextWindow(OperatorWindow& window) : ForwardingWindow(window) {}

  void AddLine(std::string_view text) override { window_.AddLine(ShownText(text)); }
  void SetPanel(int index, std::string_view text) override {
    window_.SetPanel(index, ShownText(text));
  }
  void ShowMessage(std::string_view text) override { window_.ShowMessage(ShownText(text)); }
};

}  // namespace marvolen
