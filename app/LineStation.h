// The station with its line: the serial driver on the configured port, the line controller,
// the admission and the call script, run by the window's or the console's timer.
#pragma once

#include <memory>

#include "app/Station.h"
#include "link/SerialLine.h"

namespace marvolen {

class LineStation final : public Station {
 public:
  // `opener` opens the port's device; empty means the system's (SystemDeviceOpener).
  LineStation(OperatorWindow& window, Clock& clock, std::filesystem::path home = {},
              DeviceOpener opener = {});
  ~LineStation() override;

  // The line controller's next deadline and what it waits for, on the port's device: its
  // descriptor, its own next event, the bytes it already holds; and the state file's next
  // heartbeat. None before the first tick has built the line.
  std::optional<WakeUp> NextWake() override;

 protected:
  void LineTick() override;
  void ClosePorts() override;
  void CallFailed(std::string_view message) override;
  void StopLine() override;

 private:
  struct Line;
  DeviceOpener opener_;
  // Built at the first tick, once the settings have been read.
  std::unique_ptr<Line> line_;
};

std::unique_ptr<Station> MakeLineStation(OperatorWindow& window, Clock& clock,
                                         const std::filesystem::path& home);
// Line stations whose port opens with `opener` (tests put a modem double behind it).
StationFactory LineStationFactory(DeviceOpener opener);

}  // namespace marvolen
