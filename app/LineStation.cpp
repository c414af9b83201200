#include "app/LineStation.h"

#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "app/LineController.h"
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
#include "records/OfficeParamFile.h"
#include "transfer/TransferArchive.h"

namespace marvolen {

namespace {

RecorderSetup RecorderSetupOf(LineStation& station) {
  RecorderSetup setup;
  setup.work_dir = station.WorkDir;
  setup.home = station.ExeDir;
  setup.port = station.config().PortNumber;
  setup.device = PortDeviceName(setup.port);
  // The unit's instance name; the station refuses a bad one before any call.
  if (const char* name = std::getenv("MARVOLEN_LINE")) setup.line_name = name;
  setup.files = &station.file_ops();
  return setup;
}

}  // namespace

struct LineStation::Line {
  Line(LineStation& station)
      : limits(CallLimitsFromEnvironment(std::getenv, limit_problems)),
        recorder(RecorderSetupOf(station), station.clock()),
        ageing(station.WorkDir, station.clock()),
        window(station.window(), recorder),
        status_page(station.WorkDir, station.clock()),
        serial(station.clock(), SystemDeviceOpener(station.clock()),
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
                 station.stop_request(),
                 limits},
        script(
            services,
            [&station](const std::string& key, const std::string& value) {
              OfficeParamFile(station.state.OfficeDir, station.clock(), &station.file_ops())
                  .WriteOfficeParam(key, value);
            },
            station.file_ops()),
        admission(services, station.WorkDir),
        controller(
            services, [this](const std::string& ident) { return admission.Admit(ident); }, script) {
    serial.SetConfiguredPort(station.config().PortNumber);
    call_line.SetObserver(&recorder);
    controller.RecordCalls(&recorder, [this] {
      const std::string error = status_page.Request();
      if (!error.empty()) window.AddLine("*ERROR " + error);
    });
    for (const std::string& problem : limit_problems) services.ShowAndLog(problem);
  }

  // Old transcripts go at start-up and then once a day, never during a call; what the ageing
  // left alone (a link put in "calls/") is shown in the log view.
  void AgeTranscriptsWhenDue(const CallState& state) {
    const bool in_call = recorder.InCall() || state.LineState == kStateConnecting ||
                         state.LineState == kStateConnected;
    for (const std::string& warning : ageing.RunWhenDue(in_call)) window.AddLine(warning);
  }

  std::vector<std::string> limit_problems;  // bad bound settings, shown once the window is up
  CallLimits limits;
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
};

LineStation::LineStation(OperatorWindow& window, Clock& clock, std::filesystem::path home)
    : Station(window, clock, std::move(home)) {}

LineStation::~LineStation() = default;

void LineStation::LineTick() {
  if (!line_) line_ = std::make_unique<Line>(*this);
  line_->AgeTranscriptsWhenDue(state);
  line_->controller.Tick();
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
  if (line_) line_->controller.Stop();
}

std::unique_ptr<Station> MakeLineStation(OperatorWindow& window, Clock& clock,
                                         const std::filesystem::path& home) {
  return std::make_unique<LineStation>(window, clock, home);
}

}  // namespace marvolen
