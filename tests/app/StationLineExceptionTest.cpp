// An exception thrown inside a tick by the line's own work (a file operation of the call
// script) reaches the station's handler, and the tick after it brings the line back: the
// station with its controller, script and timer, over the fake modem line.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "CallHarness.h"
#include "TestSupport.h"
#include "app/LineController.h"
#include "app/Station.h"
#include "app/StationConfig.h"
#include "call/LineTokens.h"
#include "call/SupervisionScript.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;
using station_test::ReadFile;
using station_test::TempDir;

const std::string kStars(66, '*');

// The station whose line tick runs the real controller and script; the admission accepts
// every identification and names the office directory the test chose.
class ControllerStation final : public Station {
 public:
  ControllerStation(RecordingWindow& window, VirtualClock& clock, const fs::path& home)
      : Station(window, clock, home),
        services{state,
                 line,
                 window,
                 clock,
                 [this](std::string_view text) { activity_log().LogEvent(text); },
                 home},
        script(services, [](const std::string&, const std::string&) {}),
        controller(
            services, [this](const std::string& ident) { return Admit(ident); }, script) {}

  FakeCallLine line;
  fs::path office_dir;
  int admissions = 0;

 protected:
  void LineTick() override { controller.Tick(); }
  void ClosePorts() override { line.ClosePort(); }

 private:
  CallReason Admit(const std::string& ident) {
    ++admissions;
    AdmittedOffice office;
    office.OfficeDir = office_dir;
    return AdmitAs(state, ident, office);
  }

  CallServices services;
  SupervisionScript script;
  LineController controller;
};

// How the office directory is made unusable once the office has been admitted.
struct BrokenDirRow {
  const char* name;
  void (*spoil)(const fs::path& dir);
  int error;  // the errno value the failure reports
};

class StationLineException : public ::testing::TestWithParam<BrokenDirRow> {
 protected:
  void SetUp() override {
    station_test::UseUtc();
    StationConfig config;
    config.PortNumber = 1;
    config.WorkDir = work.dir();
    station_test::WriteFile(home.path() / kStationConfigFile, BuildStationConfigRecord(config));
    station.office_dir = work.path() / "loc07";
    fs::create_directory(station.office_dir);
    station.FormCreate();
    ASSERT_EQ(station.config().PortNumber, 1);
  }

  // One tick of the timer, then its interval passes.
  void Tick() {
    station.Timer1Timer();
    clock.Advance(Millis(station.state.TimerInterval));
  }
  // Line reset, a caller, its identification.
  void AdmitACaller() {
    if (station.state.LineState.empty()) Tick();
    station.line.carrier = true;
    Tick();
    ASSERT_EQ(station.state.LineState, "conectando");
    station.line.Arrive("Ident=00007\r");
    Tick();
    ASSERT_EQ(station.state.LineState, "conectado");
  }
  // The office acknowledges whatever the script sent last.
  void Acknowledge() { station.line.Arrive(std::string(AckToken) + "\r"); }

  TempDir home;
  TempDir work;
  VirtualClock clock;
  RecordingWindow window;
  ControllerStation station{window, clock, home.path()};
};

TEST_P(StationLineException, FileErrorInTheScriptReachesTheHandlerAndTheNextTickResetsTheLine) {
  AdmitACaller();
  Tick();  // step 0: the tables are up to date, a message goes out
  EXPECT_EQ(station.line.CountSent(std::string(MessageToken) + "Tablas ya actualizadas\r"), 1);
  Acknowledge();
  Tick();  // the acknowledgement moves the script on
  Tick();  // step 1: no table to delete
  ASSERT_EQ(station.state.ScriptStep, script::kTrafficRequest);
  GetParam().spoil(station.office_dir);

  const auto before = window.lines.size();
  Tick();  // step 3 moves into the office directory, which fails
  ASSERT_EQ(window.lines.size(), before + 1);
  const std::string& shown = window.lines.back();
  EXPECT_EQ(shown.rfind("ERROR PROGRAMA: ", 0), 0u) << shown;
  EXPECT_NE(shown.find(std::strerror(GetParam().error)), std::string::npos) << shown;
  EXPECT_EQ(station.state.LineState, "");
  EXPECT_EQ(station.state.ScriptStep, script::kTrafficRequest);  // kept until the next admission
  EXPECT_TRUE(window.timer_enabled);
  // The handler is no abort: the call is neither logged as aborted nor hung up yet.
  EXPECT_EQ(station.line.closes, 1);
  EXPECT_EQ(station.activity_log().Pending().size(), 0u);
  EXPECT_EQ(ReadFile(work.path() / "volenlog.tcp").find("Comunicación abortada"),
            std::string::npos);

  Tick();  // the line is re-initialised
  EXPECT_EQ(window.lines.at(before + 1), kStars);
  EXPECT_EQ(station.line.closes, 2);
  EXPECT_EQ(station.line.opens, 2);
  EXPECT_FALSE(station.line.carrier);  // closing the port hung the caller up
  EXPECT_EQ(station.line.modem_commands,
            (std::vector<std::string>{"ATZ", "AT&D2", "AT S0=1", "ATZ", "AT&D2", "AT S0=1"}));
  EXPECT_EQ(station.state.LineState, "esperando");
  EXPECT_EQ(station.state.TimerInterval, 500);
  EXPECT_TRUE(window.modificar_visible);
  EXPECT_TRUE(window.salir_enabled);
  EXPECT_TRUE(window.timer_enabled);

  // The next caller is greeted and admitted as if nothing had happened.
  const int greetings = station.line.CountSent(GreetingToken);
  AdmitACaller();
  EXPECT_EQ(station.line.CountSent(GreetingToken), greetings + 1);
  EXPECT_EQ(station.admissions, 2);
  EXPECT_EQ(station.state.ScriptStep, script::kTables);
}

INSTANTIATE_TEST_SUITE_P(
    OfficeDirectory, StationLineException,
    ::testing::Values(BrokenDirRow{"Removed", [](const fs::path& dir) { fs::remove_all(dir); },
                                   ENOENT},
                      BrokenDirRow{"ReplacedByAFile",
                                   [](const fs::path& dir) {
                                     fs::remove_all(dir);
                                     station_test::WriteFile(dir, "not a directory");
                                   },
                                   ENOTDIR}),
    [](const ::testing::TestParamInfo<BrokenDirRow>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace marvolen::testing
