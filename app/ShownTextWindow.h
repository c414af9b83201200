// The operator's window as the station uses it: every text on its way to the log view, the
// status bar or a message box passes ShownText first, so that nothing a caller sends (an
// identification field, a reply, an archive member's name) reaches the screen or the console
// as control characters. Everything else goes straight to the window it wraps.
#pragma once

#include "call/OperatorWindow.h"
#include "platform/ShownText.h"

namespace marvolen {

class ShownTextWindow final : public OperatorWindow {
 public:
  explicit ShownTextWindow(OperatorWindow& window) : window_(window) {}

  void AddLine(std::string_view text) override { window_.AddLine(ShownText(text)); }
  void ClearLog() override { window_.ClearLog(); }
  void SetLogVisible(bool visible) override { window_.SetLogVisible(visible); }
  void SetPanel(int index, std::string_view text) override {
    window_.SetPanel(index, ShownText(text));
  }
  void SetModificarVisible(bool visible) override { window_.SetModificarVisible(visible); }
  void SetSalirEnabled(bool enabled) override { window_.SetSalirEnabled(enabled); }
  void SetTimerInterval(int ms) override { window_.SetTimerInterval(ms); }
  void SetTimerEnabled(bool enabled) override { window_.SetTimerEnabled(enabled); }
  std::optional<std::string> InputBox(std::string_view caption, std::string_view prompt) override {
    return window_.InputBox(caption, prompt);
  }
  void ShowMessage(std::string_view text) override { window_.ShowMessage(ShownText(text)); }
  void ShowSettingsForm() override { window_.ShowSettingsForm(); }
  void ShowPasswordForm() override { window_.ShowPasswordForm(); }
  void HidePasswordForm() override { window_.HidePasswordForm(); }
  void Terminate() override { window_.Terminate(); }

 private:
  OperatorWindow& window_;
};

}  // namespace marvolen
