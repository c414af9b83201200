// The station object that the main program owns for the whole run.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/ActivityLog.h"
#include "app/Settings.h"
#include "app/ShownTextWindow.h"
#include "app/StationConfig.h"
#include "call/CallState.h"
#include "call/OperatorWindow.h"
#include "callrec/LineStatus.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/StopRequest.h"

namespace marvolen {

// The identification line until the first office is admitted, so that the office field of
// the activity log reads "Datos".
inline constexpr char kIdentLineAtStart[] = "      Datos";

// The station: the state of the line and of the call, shared by every part of the program
// (one instance, owned by the main program), and the handlers of the three forms. The forms
// themselves only wire widgets to these handlers; everything they decide is here, so that it
// runs the same under the window, under the console and in tests.
class Station {
 public:
  // `home` is the station home (where "marvolen.tcp" lives); empty means StationHome(),
  // looked up by FormCreate.
  Station(OperatorWindow& window, Clock& clock, std::filesystem::path home = {});
  virtual ~Station() = default;
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Entry points. Each is called by the host (window, console, test) and lets no exception
  // escape: whatever escapes the work goes to AppException.

  // Start-up: directories, settings, start line, timer.
  void FormCreate();
  // One tick of Timer1: disables the timer; with no settings yet runs FirstRunPrompt and
  // leaves the timer off; otherwise runs LineTick and enables the timer again.
  void Timer1Timer();
  // "Salir": flushes the activity log and terminates.
  void Button2Click();
  // "Modificar Datos": stops the timer and shows the password form.
  void ModificarClick();
  // The main form closes (every way the program ends): ends the call in progress as
  // Stopping does, writes pending activity log lines, then ClosePorts.
  void FormClose();
  // The host is stopping the station (a stop signal): the call in progress, if any, ends
  // with its record ("stopped") and the line is hung up; nothing is readied for another call.
  void Stopping();
  // Password form: "Aceptar" with the entry of `clave`; "Cancelar"; the form's close by any
  // means (its close box included), which enables the timer.
  void AceptarClick(std::string_view clave);
  void CancelarClick();
  void ClaveFormClose();
  // Settings form: the texts its edit boxes start with; "Guardar" with their texts.
  SettingsFields DatosFormCreate() const;
  void GuardarClick(const SettingsFields& fields);

  // The application's handler of exceptions nobody handled: shows "ERROR PROGRAMA: " +
  // `message` in the log view, empties LineState (so the next tick re-initialises the line)
  // and enables the timer. Never ends the program.
  void AppException(std::string_view message);
  // Runs `work`, handing any exception it lets escape to AppException with the text
  // platform/Errors.h's ErrorText makes of it: the one place a failure becomes the words the
  // operator reads.
  void Guard(const std::function<void()>& work) noexcept;

  // First run (no settings): asks for the settings password, then shows the settings form.
  void FirstRunPrompt();

  // When the next tick is worth running, and the descriptor that makes it due sooner by
  // turning readable; none when the station keeps no such account, and the timer's interval
  // rules. A host that sleeps on it (the console, the window's timer) ticks only when there is
  // something to do.
  virtual std::optional<WakeUp> NextWake() { return std::nullopt; }

  // Timer1: the window's timer. Its interval is mirrored in `state.TimerInterval`, where the
  // stall check reads it; the design-time state is 100 ms, enabled.
  void SetTimer1Interval(int ms);
  void SetTimer1Enabled(bool enabled);

  // The window with every shown text escaped (ShownTextWindow).
  OperatorWindow& window() { return window_; }
  Clock& clock() { return clock_; }
  ActivityLog& activity_log() { return log_; }
  StationConfig& config() { return config_; }
  const StationConfig& config() const { return config_; }
  // The settings save, the activity log and the call's files (the received archives and
  // their members, the filed traffic) write through these calls; set them before the first
  // tick.
  void SetFileOps(const FileOps& ops);
  const FileOps& file_ops() const { return file_ops_; }
  // The host's stop request (the console's signals), which the call's long waits look at;
  // set it before the first tick. A station without one is never asked to stop mid-tick.
  void SetStopRequest(StopRequest stop) { stop_ = std::move(stop); }
  const StopRequest& stop_request() const { return stop_; }
  // Told at every change of the line's live state (the console tells the service manager);
  // set it before the first tick.
  using LineObserver = std::function<void(const LineStatus& status)>;
  void SetLineObserver(LineObserver observer) { line_observer_ = std::move(observer); }
  const LineObserver& line_observer() const { return line_observer_; }

  // The call state shared with the line controller, the admission and the script.
  CallState state;
  // The station home and the working directory (a relative setting is taken from the home):
  // UTF-8, ending in "/".
  std::string ExeDir;
  std::string WorkDir;

 protected:
  // One slice of the line's work, run by every tick once settings exist. It may throw: the
  // tick hands the exception to AppException.
  virtual void LineTick() {}
  // Closes every serial port, ignoring errors; run when the main form closes.
  virtual void ClosePorts() {}
  // A program error (`message`) has ended the call in progress, if any: its record is closed.
  // Lets nothing escape.
  virtual void CallFailed(std::string_view /*message*/) {}
  // Ends the call in progress, if any, as stopped, and leaves the line hung up. It may throw:
  // Stopping hands the exception to AppException.
  virtual void StopLine() {}

 private:
  void CreateStartupDirectories();
  // Removes the temporary files an interrupted filing or staging left, a log line each.
  void RemoveInterruptedFiles();
  void ClosePasswordForm();

  // The host's window behind the escaping of every text shown; the station talks to it
  // only through `window_`.
  ShownTextWindow shown_window_;
  OperatorWindow& window_;
  Clock& clock_;
  std::filesystem::path home_;
  StationConfig config_;
  FileOps file_ops_;
  ActivityLog log_;
  StopRequest stop_;
  LineObserver line_observer_;
};

// Makes the station the hosts run: the window and the console take one, so that a station
// with its line work in place can be handed to them.
using StationFactory = std::function<std::unique_ptr<Station>(OperatorWindow& window, Clock& clock,
                                                              const std::filesystem::path& home)>;
// A plain Station.
std::unique_ptr<Station> MakeStation(OperatorWindow& window, Clock& clock,
                                     const std::filesystem::path& home);

}  // namespace marvolen
