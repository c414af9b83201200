// What the station logic may ask of the operator's window. The Qt main window implements it,
// and so does the console of `marvolen --console`; tests use a recording double. Texts are
// UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace marvolen {

// What the log view's lines are about, for a log that files its lines by it (the system
// journal). The log view itself shows none of it.
struct LogFacts {
  int office = 0;      // the calling office, 0 while unknown
  std::string result;  // once the call has ended: its result and reason as the call log
  std::string reason;  // names them ("refused", "wrong_password")
};

class OperatorWindow {
 public:
  virtual ~OperatorWindow() = default;

  // The log view `mm1`: append one line (Lines.Add), clear it, show or hide it.
  virtual void AddLine(std::string_view text) = 0;
  virtual void ClearLog() = 0;
  virtual void SetLogVisible(bool visible) = 0;

  // The status bar: panels 0 to 3.
  virtual void SetPanel(int index, std::string_view text) = 0;

  // The buttons: `Modificar` (settings) shown or hidden, `Button2` ("Salir") enabled or not.
  virtual void SetModificarVisible(bool visible) = 0;
  virtual void SetSalirEnabled(bool enabled) = 0;

  // `Timer1`: the host calls the station's tick when the timer is enabled and its interval
  // has passed since the last tick ended.
  virtual void SetTimerInterval(int ms) = 0;
  virtual void SetTimerEnabled(bool enabled) = 0;

  // The modal one-line input box; nullopt when the operator cancels it.
  virtual std::optional<std::string> InputBox(std::string_view caption,
                                              std::string_view prompt) = 0;
  // The modal message box.
  virtual void ShowMessage(std::string_view text) = 0;
  // Shows the settings form `TFDatos` without waiting for it (the console cannot).
  virtual void ShowSettingsForm() = 0;
  // Shows the password form `TFClave` without waiting for it; hides it again without running
  // its close handler (the station runs that itself). Hosts without forms need not care.
  virtual void ShowPasswordForm() {}
  virtual void HidePasswordForm() {}
  // Ends the program once the current handler returns (Application.Terminate).
  virtual void Terminate() = 0;
  // What the lines that follow are about, until the next facts; only a structured log cares.
  virtual void SetLogFacts(const LogFacts& facts) { (void)facts; }
};

// A window that hands every call on to another one: the base of the wrappers that change
// what one or two calls do (escape the texts, note them in the call's record).
class ForwardingWindow : public OperatorWindow {
 public:
  explicit ForwardingWindow(OperatorWindow& window) : window_(window) {}

  void AddLine(std::string_view text) override { window_.AddLine(text); }
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
  void SetLogFacts(const LogFacts& facts) override { window_.SetLogFacts(facts); }

 protected:
  OperatorWindow& window_;
};

}  // namespace marvolen
