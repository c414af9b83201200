// The station without a window (`marvolen --console`): every line the log view would get is
// printed on standard output, and the timer is a loop that sleeps through the clock.
#pragma once

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "app/ServiceNotify.h"
#include "app/Station.h"
#include "call/OperatorWindow.h"
#include "platform/Clock.h"
#include "platform/ServiceManager.h"

namespace marvolen {

// Whether `stream` is the journal: JOURNAL_STREAM ("DEVICE:INODE", set by the service manager)
// names the file behind it. Then each line printed carries its priority, so that
// `journalctl -p err` finds the station's errors.
bool StreamIsJournal(std::FILE* stream);
// The journal priority of a log view line: 3 (error) for the driver's and the program's
// errors ("*ERROR ...", "ERROR ...", "Respuesta: ..."), 4 (warning) for refused and cut calls
// and other things the operator should look at, 6 (information) for the rest.
int LogLinePriority(std::string_view line);
// Prints `text` on `stream`, each of its lines with the priority prefix "<N>" when `journal`.
void PrintLines(std::FILE* stream, bool journal, int priority, std::string_view text);

// One entry of the journal's native protocol: each field as "NAME=value\n", or, when the value
// holds a line break, as "NAME\n", the value's length in 64 bits little-endian, the value and
// "\n".
std::string JournalEntry(
    std::initializer_list<std::pair<std::string_view, std::string_view>> fields);

class ConsoleWindow final : public OperatorWindow {
 public:
  // Log lines go to `out`, remarks about what the console cannot do to `err`; with the
  // priority prefixes when they are the journal. When `out` is the journal and
  // `journal_socket` names its socket, log lines go there instead as entries with fields of
  // their own (PRIORITY, MARVOLEN_LINE, MARVOLEN_OFFICE, MARVOLEN_RESULT, MARVOLEN_REASON), so
  // that `journalctl MARVOLEN_OFFICE=7` finds an office's calls; a socket that takes no entry
  // sends them back to `out`.
  ConsoleWindow(Clock& clock, std::FILE* out, std::FILE* err, bool out_is_journal = false,
                bool err_is_journal = false, std::string journal_socket = {});

  // The line's name, in every journal entry from now on.
  void SetLineName(std::string name) { line_name_ = std::move(name); }

  void AddLine(std::string_view text) override;
  void SetLogFacts(const LogFacts& facts) override { facts_ = facts; }
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
  bool out_is_journal_;
  bool err_is_journal_;
  std::string journal_socket_;
  std::string line_name_;
  LogFacts facts_;
  bool terminated_ = false;
  bool timer_enabled_ = true;
  int timer_interval_ = 100;
  MonoTime armed_at_;
};

// Runs the station's timer until the station terminates or `stop` becomes non-zero (a
// signal), which ends the call in progress (Station::Stopping) and acts as "Salir". Closes
// the main form at the end. With `notifier`, the loop pings the service manager's watchdog
// (waking for it when the timer is not due sooner) and says "STOPPING=1" on a stop signal.
// Returns the exit status:
// 0, or 1 when "Salir" could not write the activity log (its error is in the log view).
// Between ticks the loop sleeps in one wait until the timer is due or `wake_fd` turns
// readable (the signal handler writes to it); without a descriptor (-1) it looks at `stop`
// every 50 ms. Once the station knows what its line waits for (Station::NextWake), the
// line's deadline replaces the timer's interval and the line's descriptor ends the sleep too.
int RunConsole(Station& station, ConsoleWindow& window, Clock& clock,
               const volatile std::sig_atomic_t& stop, int wake_fd = -1,
               ServiceNotifier* notifier = nullptr);

// The exit status of a station that does not start because another one holds its home.
inline constexpr int kHomeTakenStatus = 3;
// The exit status of a station that cannot start as configured (no settings, a bad line
// name): restarting it would not help.
inline constexpr int kNoSettingsStatus = 2;

// The whole console program for the station home `home`, on the station `make` builds, with
// `stop` as the station's stop request (SetStopRequest): 0
// after "Salir", kNoSettingsStatus (with a message on `err` saying how to create one) when
// there are no settings yet, MARVOLEN_LINE is no valid line name or the line's lock cannot be
// taken, kHomeTakenStatus (with a message on `err`) when another station runs on the home or
// serves a line of the same name in the working directory. The home stays locked until it
// returns. The service manager named by NOTIFY_SOCKET hears of the line's states (READY=1
// once the line first waits for calls, STATUS= at each change), of the loop (WATCHDOG=1) and
// of the stop; standard output and error carry priorities when they are the journal, and the log
// lines go to `journal_socket` as structured entries when it takes them.
int ConsoleMain(const std::filesystem::path& home, Clock& clock, std::FILE* out, std::FILE* err,
                const volatile std::sig_atomic_t& stop, const StationFactory& make = MakeStation,
                int wake_fd = -1, const std::string& journal_socket = kJournalSocket);

}  // namespace marvolen
