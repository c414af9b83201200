#include "app/LineStation.h"

#include "call/CallAdmission.h"
#include "call/CallServices.h"
#include "app/LineController.h"
#include "app/SerialCallLine.h"
#include "call/SupervisionScript.h"
#include "link/PortDevices.h"
#include "link/SerialLine.h"
#include "transfer/TransferArchive.h"
#include "records/OfficeParamFile.h"

namespace marvolen {

struct LineStation::Line {
  Line(LineStation& station)
      : serial(station.clock(), SystemDeviceOpener(station.clock()),
               [&station](std::string_view text) { station.window().AddLine(text); }),
        call_line(
            serial, station.clock(), static_cast<std::uint32_t>(station.config().BaudRate),
            ZipArchiveHooks([&station](std::string_view text) { station.window().AddLine(text); },
                            station.file_ops()),
            TransferSinks{[&station](std::string_view text) { station.window().AddLine(text); },
                          [&station](int panel, std::string_view text) {
                            station.window().SetPanel(panel, text);
                          }}),
        services{station.state,
                 call_line,
                 station.window(),
                 station.clock(),
                 [&station](std::string_view text) { station.activity_log().LogEvent(text); },
                 station.ExeDir},
        script(
            services,
            [&station](const std::string& key, const std::string& value) {
              OfficeParamFile(station.state.OfficeDir, station.clock())
                  .WriteOfficeParam(key, value);
            },
            station.file_ops()),
        admission(services, station.WorkDir),
        controller(
            services, [this](const std::string& ident) { return admission.Admit(ident); }, script) {
    serial.SetConfiguredPort(station.config().PortNumber);
  }

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
  line_->controller.Tick();
}

void LineStation::ClosePorts() {
  if (!line_) return;
  for (int port = 1; port <= 4; ++port) line_->serial.ClosePort(port);
}

std::unique_ptr<Station> MakeLineStation(OperatorWindow& window, Clock& clock,
                                         const std::filesystem::path& home) {
  return std::make_unique<LineStation>(window, clock, home);
}

}  // namespace marvolen
