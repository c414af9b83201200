// The station without a window (`marvolen --console`): every line the log view would get is
// printed on standard output, and the timer is a loop that sleeps through the clock.
#pragma once

#include <csignal>
#include <cstdio>
#include <filesystem>

#include "call/OperatorWindow.h"
#include "app/Station.h"
#include "platform/Clock.h"

namespace marvolen {

class ConsoleWindow final : public OperatorWindow {
 public:
  // Log lines go to `out`, remarks about what the console cannot do to `err`.
  ConsoleWindow(Clock& clock, std::FILE* out, std::FILE* err);

  void AddLine(std::string_view text) override;
  void ClearLog() override {}
  void SetLogVisible(bool) override {}
  void SetPanel(int, std::string_view) override {}
  void SetModificarVisible(bool) override {}
  void SetSalirEnabled(bool) override {}
  void SetTimerInterval(int ms) override;
  void SetTimerEnabled(bool enabled) override;
  // No one can answer: the box counts as cancelled.
  std::optional<std::string> InputBox(std::string_view caption, std::string_view prompt) override;
  void ShowMessage(std::string_view text) override;
  void ShowSettingsForm() override;
  void Terminate() override { terminated_ = true; }

  bool terminated() const { return terminated_; }
  bool timer_enabled() const { return timer_enabled_; }
  int timer_interval() const { return timer_interval_; }
  // When the timer is next due: its interval after it was last enabled, set or fired.
  MonoTime TimerDue() const { return armed_at_ + Millis(timer_interval_); }
  void TimerFired() { armed_at_ = clock_.Now(); }

 private:
  Clock& clock_;
  std::FILE* out_;
  std::FILE* err_;
  bool terminated_ = false;
  bool timer_enabled_ = true;
  int timer_interval_ = 100;
  MonoTime armed_at_;
};

// Runs the station's timer until the station terminates or `stop` becomes non-zero (a
// signal), which ends the call in progress (Station::Stopping) and acts as "Salir". Closes
// the main form at the end. Returns the exit status:
// 0, or 1 when "Salir" could not write the activity log (its error is in the log view).
// Between ticks the loop sleeps in one wait until the timer is due or `wake_fd` turns
// readable (the signal handler writes to it); without a descriptor (-1) it looks at `stop`
// every 50 ms.
int RunConsole(Station& station, ConsoleWindow& window, Clock& clock,
               const volatile std::sig_atomic_t& stop, int wake_fd = -1);

// The exit status of a station that does not start because another one holds its home.
inline constexpr int kHomeTakenStatus = 3;

// The whole console program for the station home `home`, on the station `make` builds, with
// `stop` as the station's stop request (SetStopRequest): 0
// after "Salir", 2 (with a message on `err` saying how to create one) when there are no
// settings yet, kHomeTakenStatus (with a message on `err`) when another station runs on the
// home. The home stays locked until it returns.
int ConsoleMain(const std::filesystem::path& home, Clock& clock, std::FILE* out, std::FILE* err,
                const volatile std::sig_atomic_t& stop, const StationFactory& make = MakeStation,
                int wake_fd = -1);

}  // namespace marvolen
