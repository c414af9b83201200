// A number the office sends that is no number ends the tick through the station's handler,
// with the conversion's own text first: the station with its controller, the real admission
// and the office's parameter file, over the fake modem line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "FakeCallLine.h"
#include "TestSupport.h"
#include "call/CallAdmission.h"
#include "app/LineController.h"
#include "app/Station.h"
#include "app/StationConfig.h"
#include "call/SupervisionScript.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;
using station_test::TempDir;

class AdmittingStation final : public Station {
 public:
  AdmittingStation(RecordingWindow& window, VirtualClock& clock, const fs::path& home)
      : Station(window, clock, home),
        services{state,
                 line,
                 window,
                 clock,
                 [this](std::string_view text) { activity_log().LogEvent(text); },
                 home},
        admission(services, WorkDir, file_ops()),
        script(services, [](const std::string&, const std::string&) {}),
        controller(
            services, [this](const std::string& ident) { return admission.Admit(ident); }, script) {
  }

  FakeCallLine line;

 protected:
  void LineTick() override { controller.Tick(); }
  void ClosePorts() override { line.ClosePort(); }

 private:
  CallServices services;
  CallAdmission admission;
  SupervisionScript script;
  LineController controller;
};

class StationConversion : public ::testing::Test {
 protected:
  void SetUp() override {
    station_test::UseUtc();
    StationConfig config;
    config.PortNumber = 1;
    config.WorkDir = work.dir();
    station_test::WriteFile(home.path() / kStationConfigFile, BuildStationConfigRecord(config));
    fs::create_directory(work.path() / "loc07");
    station_test::WriteFile(work.path() / "loc07" / "TARIFA.TBL", "AB");
    station.FormCreate();
  }

  void Tick() {
    station.Timer1Timer();
    clock.Advance(Millis(station.state.TimerInterval));
  }
  // A caller that sends `half` twice over; gives the line the tick added to the log view.
  std::string Identify(const std::string& half) {
    Tick();
    station.line.carrier = true;
    Tick();
    EXPECT_EQ(station.state.LineState, "conectando");
    station.line.Arrive(half + half + "\r");
    Tick();
    return window.lines.back();
  }

  TempDir home;
  TempDir work;
  VirtualClock clock;
  RecordingWindow window;
  AdmittingStation station{window, clock, home.path()};
};

// The header up to the feature flag, for office 7 with the new file's password GALERNA.
std::string Header(const std::string& password_groups) {
  return "Ident=00007NT" + password_groups + "S";
}

TEST_F(StationConversion, APasswordGroupThatIsNoNumber) {
  const std::string shown = Identify(Header("0710x5076069082"));
  EXPECT_EQ(shown,
            "ERROR PROGRAMA: '*x*' is not a valid integer value (clave de la oficina, grupo 2)");
  EXPECT_EQ(station.state.LineState, "");
}

TEST_F(StationConversion, AFileValueThatIsNoNumber) {
  std::string half = Header("071065076069082");
  half.resize(98, ' ');
  half += "  TARIFA.TBL      1,31";
  const std::string shown = Identify(half);
  EXPECT_EQ(shown.rfind("ERROR PROGRAMA: '", 0), 0u) << shown;
  EXPECT_NE(shown.find("1,31' is not a valid integer value (lista de archivos de la oficina, "
                       "TARIFA.TBL)"),
            std::string::npos)
      << shown;
  EXPECT_EQ(station.state.LineState, "");
}

}  // namespace
}  // namespace marvolen::testing
