// The operator's window as the line's work sees it: every line shown in the log view also
// goes to the call's record as a note (the recorder keeps none outside a call).
#pragma once

#include "call/CallObserver.h"
#include "call/OperatorWindow.h"

namespace marvolen {

class NotingWindow final : public OperatorWindow {
 public:
  NotingWindow(OperatorWindow& window, CallObserver& observer)
      : window_(window), observer_(observer) {}

  void AddLine(std::string_view text) override {
    window_.AddLine(text);
    observer_.Note(text);
  }
  void ClearLog() override { window_.ClearLog(); }
  void SetLogVisible(bool visible) override { window_.SetLogVisible(visible); }
  void SetPanel(int index, std::string_view text) override { window_.SetPanel(index, text); }
  void SetModificarVisible(bool visible) override { window_.SetModificarVisible(visible); }
  void SetSalirEnabled(bool enabled) override { window_.SetSalirEnabled(enabled); }
  void SetTimerInterval(int ms) override { window_.SetTimerInterval(ms); }
  void SetTimerEnabled(bool enabled) override { window_.SetTimerEnabled(enabled); }
  std::optional<std::string> InputBox(std::string_view caption, std::string_view prompt) override {
    return window_.InputBox(caption, prompt);
  }
  void ShowMessage(std::string_view text) override { window_.ShowMessage(text); }
  void ShowSettingsForm() override { window_.ShowSettingsForm(); }
  void ShowPasswordForm() override { window_.ShowPasswordForm(); }
  void HidePasswordForm() override { window_.HidePasswordForm(); }
  void Terminate() override { window_.Terminate(); }

 private:
  OperatorWindow& window_;
  CallObserver& observer_;
};

}  // namespace marvolen
