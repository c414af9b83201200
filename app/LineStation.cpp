#include "app/LineStation.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/LineController.h"
#include "app/LineLiveState.h"
#include "app/NotingWindow.h"
#include "app/SerialCallLine.h"
#include "app/StationConfig.h"
#include "app/StatusPageWriter.h"
#include "call/CallAdmission.h"
#include "call/CallServices.h"
#include "call/SupervisionScript.h"
#include "callrec/CallRecorder.h"
#include "callrec/TranscriptAgeing.h"
#include "link/PortDevices.h"
#include "link/SerialLine.h"
#include "platform/Errors.h"
#include "records/OfficeParamFile.h"
#include "transfer/TransferArchive.h"

namespace marvolen {

namespace {

// `line_name`: the same name as the line's live state (empty: not a valid one).
RecorderSetup RecorderSetupOf(LineStation& station, const std::optional<std::string>& line_name) {
  RecorderSetup setup;
  setup.work_dir = station.WorkDir;
  setup.home = station.ExeDir;
  setup.port = station.config().PortNumber;
  setup.device = PortDeviceName(setup.port);
  if (line_name) setup.line_name = *line_name;
  setup.files = &station.file_ops();
  return setup;
}

// The bounds of the environment, with the moved bytes' line time counted at the configured
// speed (one the record does not give leaves the allowance at its base).
CallLimits LimitsOf(LineStation& station, std::vector<std::string>& problems) {
  CallLimits limits = CallLimitsFromEnvironment(std::getenv, problems);
  limits.line_bits_per_second = static_cast<std::uint32_t>(std::max(station.config().BaudRate, 0));
  return limits;
}

}  // namespace

struct LineStation::Line {
  Line(LineStation& station, const DeviceOpener& opener)
      : observer(station.line_observer()),
        clock(station.clock()),
        // Every wait of the line that looks at the stop request keeps the state file's
        // heartbeat going, a call's transfers included.
        stop(
            [this, outer = station.stop_request()] {
              Pulse();
              return outer.Requested();
            },
            station.stop_request().WakeFd()),
        limits(LimitsOf(station, limit_problems)),
        // The unit's instance name, or its device's; the call records carry it too.
        line_name(LineNameFor(station.config().PortNumber, std::getenv(kLineNameVariable),
                              line_name_error)),
        recorder(RecorderSetupOf(station, line_name), station.clock()),
        ageing(station.WorkDir, station.clock()),
        window(station.window(), recorder),
        status_page(station.WorkDir, station.clock()),
        serial(station.clock(), opener ? opener : SystemDeviceOpener(station.clock()),
               [this](std::string_view text) { window.AddLine(text); }),
        call_line(serial, station.clock(), static_cast<std::uint32_t>(station.config().BaudRate),
                  ZipArchiveHooks([this](std::string_view text) { window.AddLine(text); },
                                  station.file_ops()),
                  TransferSinks{
                      [this](std::string_view text) { window.AddLine(text); },
                      [this](int panel, std::string_view text) { window.SetPanel(panel, text); },
                      [this](const BlockNote& block) { recorder.TransferBlock(block); }}),
        services{station.state,
                 call_line,
                 window,
                 station.clock(),
                 [&station](std::string_view text) { station.activity_log().LogEvent(text); },
                 station.ExeDir,
                 &recorder,
                 stop,
                 limits},
        script(
            services,
            [&station](const std::string& key, const std::string& value) {
              OfficeParamFile(station.state.Office.OfficeDir, station.clock(), &station.file_ops())
                  .WriteOfficeParam(key, value);
            },
            station.file_ops()),
        admission(services, station.WorkDir, station.file_ops()),
        controller(
            services, [this](const std::string& ident) { return admission.Admit(ident); }, script) {
    serial.SetConfiguredPort(station.config().PortNumber);
    serial.SetStopWake(stop.WakeFd());
    call_line.SetObserver(&recorder);
    controller.RecordCalls(&recorder, [this] { RequestPage(); });
    // The line's state says at once that the call is over, not once the modem's reset is done.
    controller.WhenCallEnds([this] { UpdateLiveState(); });
    for (const std::string& problem : limit_problems) services.ShowAndLog(problem);
    if (line_name) {
      LineStatus status;
      status.line = *line_name;
      status.device = PortDeviceName(station.config().PortNumber);
      status.pid = static_cast<long>(::getpid());
      live.emplace(
          station.WorkDir, std::move(status), station.clock(), station.file_ops(),
          [this](std::string_view text) { window.AddLine(text); },
          [this](const LineStatus& now) {
            RequestPage();
            if (observer) observer(now);
          });
      live->Update(LineActivity{});
    } else {
      // The console refuses to start with such a name; the window runs without the file.
      window.AddLine("*ERROR " + line_name_error);
    }
  }

  void RequestPage() {
    const std::string error = status_page.Request();
    if (!error.empty()) window.AddLine("*ERROR " + error);
  }

  // What the line is doing now, for its state file.
  LineActivity Activity(const CallState& state) {
    LineActivity now;
    const bool in_call = state.LineState == kStateConnecting || state.LineState == kStateConnected;
    if (!in_call) {
      sent_at_call_start = serial.BytesWritten();
      received_at_call_start = serial.BytesRead();
    }
    if (controller.LineDown()) {
      now.state = kLineDown;
      now.reason = DownReason();
    } else if (controller.Resetting()) {
      now.state = kLineResetting;
    } else if (state.LineState == kStateWaiting) {
      now.state = kLineWaiting;
    } else if (in_call) {
      now.state = kLineInCall;
      if (state.LineState == kStateConnected) now.office = state.Office.OfficeNumber;
      now.step = CallStepWords(state.LineState, state.ScriptStep);
      now.bytes_sent = serial.BytesWritten() - sent_at_call_start;
      now.bytes_received = serial.BytesRead() - received_at_call_start;
    }
    return now;
  }

  // The system's reason when no device could be opened, else what the driver said.
  std::string DownReason() const {
    if (const std::error_code error = serial.LastOpenError()) {
      return PortDeviceName(serial.ConfiguredPort()) + ": " + ReasonText(error);
    }
    std::string reason = controller.DownReason();
    while (!reason.empty() && reason.back() == ' ') reason.pop_back();
    return reason;
  }

  void UpdateLiveState() {
    if (live && state != nullptr) live->Update(Activity(*state));
  }
  // Between ticks, inside a long one.
  void Pulse() {
    // A transfer asks at every batch of bytes; the activity is made up only when a beat is due.
    if (!live || state == nullptr || clock.Now() < live->NextHeartbeat()) return;
    const LineActivity now = Activity(*state);
    live->Heartbeat(&now);
  }
  void Stopped() {
    if (!live) return;
    LineActivity stopped;
    stopped.state = kLineStopped;
    live->Update(stopped);
  }

  // What a line waiting for calls wakes for, and how often (bench/idle_wakes.sh counts it):
  // - the state file's heartbeat, once a minute; the daily transcript ageing rides on it;
  // - on a device that cannot signal its carrier (a serial port: its descriptor tells of bytes
  //   only), a look at the modem's status once a second, so that a call is noticed within a
  //   second (the original ticked every half second for it);
  // - on the modem emulator, which signals its carrier through its descriptor and its own next
  //   event, nothing more: the ring or the caller wakes the line.
  // Outside this account the console wakes for the service manager's watchdog, at half its
  // period, when WATCHDOG_USEC asks for pings.
  WakeUp Wake() {
    const LineWait wait = controller.NextWait();
    const DeviceWake device = serial.Wake();
    WakeUp wake;
    wake.due = wait.due;
    if (device.due) wake.NoLaterThan(*device.due);
    if (!device.status_signalled) wake.NoLaterThan(wait.status_look);
    if (device.status_signalled && wait.carrier && device.carrier != *wait.carrier) {
      wake.NoLaterThan(clock.Now());
    }
    if (wait.input && device.input_waiting) wake.NoLaterThan(clock.Now());
    // A tty that stays readable until it is read is watched only when the tick will read it;
    // the emulator's news are taken by any look at the port.
    if (wait.input || !device.fd_is_input) wake.fd = device.fd;
    // The state file keeps its heartbeat; the daily transcript ageing, looked at by every
    // tick, comes at most a heartbeat late.
    if (live) wake.NoLaterThan(live->NextHeartbeat());
    return wake;
  }

  // Old transcripts go at start-up and then once a day, never during a call; what the ageing
  // left alone (a link put in "calls/") is shown in the log view.
  void AgeTranscriptsWhenDue(const CallState& state) {
    const bool in_call = recorder.InCall() || state.LineState == kStateConnecting ||
                         state.LineState == kStateConnected;
    for (const std::string& warning : ageing.RunWhenDue(in_call)) window.AddLine(warning);
  }

  Station::LineObserver observer;
  Clock& clock;
  StopRequest stop;
  std::vector<std::string> limit_problems;  // bad bound settings, shown once the window is up
  CallLimits limits;
  std::string line_name_error;
  std::optional<std::string> line_name;  // none when MARVOLEN_LINE is not a valid name
  CallRecorder recorder;
  TranscriptAgeing ageing;
  NotingWindow window;
  StatusPageWriter status_page;
  SerialLine serial;
  SerialCallLine call_line;
  CallServices services;
  SupervisionScript script;
  CallAdmission admission;
  LineController controller;
  const CallState* state = nullptr;   // the station's, once the line is built
  std::optional<LineLiveState> live;  // none when the line's name is not valid
  // The driver's byte counts when the call in progress began.
  std::uint64_t sent_at_call_start = 0;
  std::uint64_t received_at_call_start = 0;
};

LineStation::LineStation(OperatorWindow& window, Clock& clock, std::filesystem::path home,
                         DeviceOpener opener)
    : Station(window, clock, std::move(home)), opener_(std::move(opener)) {}

LineStation::~LineStation() = default;

void LineStation::LineTick() {
  if (!line_) {
    line_ = std::make_unique<Line>(*this, opener_);
    line_->state = &state;
  }
  line_->AgeTranscriptsWhenDue(state);
  line_->controller.Tick();
  line_->UpdateLiveState();
}

std::optional<WakeUp> LineStation::NextWake() {
  if (!line_) return std::nullopt;
  return line_->Wake();
}

void LineStation::ClosePorts() {
  if (!line_) return;
  for (int port = 1; port <= 4; ++port) line_->serial.ClosePort(port);
}

void LineStation::CallFailed(std::string_view message) {
  if (!line_) return;
  try {
    line_->controller.EndRecord(CallResult::kAborted, CallReason::kProgramError,
                                std::string(message));
  } catch (const std::exception&) {
    // The record is lost; the error itself is still shown by the caller.
  }
}

void LineStation::StopLine() {
  if (!line_) return;
  line_->controller.Stop();
  line_->Stopped();
}

std::unique_ptr<Station> MakeLineStation(OperatorWindow& window, Clock& clock,
                                         const std::filesystem::path& home) {
  return std::make_unique<LineStation>(window, clock, home);
}

StationFactory LineStationFactory(DeviceOpener opener) {
  return [opener](OperatorWindow& window, Clock& clock, const std::filesystem::path& home) {
    return std::make_unique<LineStation>(window, clock, home, opener);
  };
}

}  // namespace marvolen
