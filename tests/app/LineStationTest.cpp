// The station with its line as the programs build it, on the virtual clock, with no device
// behind its port: the housekeeping it does while it runs.
#include "app/LineStation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "FakeCallLine.h"
#include "TestSupport.h"
#include "app/StationConfig.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;

TEST(LineStationHousekeeping, TranscriptsAgeAtStartAndEveryDayAfterWithLinksShown) {
  station_test::UseUtc();
  station_test::TempDir home, work;
  ::setenv("MARVOLEN_COM1", (home.dir() + "no-such-device").c_str(), 1);
  StationConfig config;
  config.PortNumber = 1;
  config.WorkDir = work.dir();
  station_test::WriteFile(home.path() / kStationConfigFile, BuildStationConfigRecord(config));
  const fs::path old = work.path() / "calls/2026-10-01/100000-loc07.txt";  // now: 7 December
  fs::create_directories(old.parent_path());
  fs::create_directory_symlink(home.path(), work.path() / "calls/2026-10-02");
  VirtualClock clock;
  RecordingWindow window;
  const auto station = MakeLineStation(window, clock, home.path());
  station->FormCreate();
  for (const int hours : {0, 1, 23}) {
    fs::create_directories(old.parent_path());
    station_test::WriteFile(old, "old");
    clock.Advance(std::chrono::hours(hours));
    station->Timer1Timer();
    EXPECT_EQ(fs::exists(old), hours == 1) << hours;
  }
  EXPECT_EQ(window.Count("Transcripciones: calls/2026-10-02 es un enlace simbólico; no se sigue "
                         "ni se borra"),
            2);
  ::unsetenv("MARVOLEN_COM1");
}

}  // namespace
}  // namespace marvolen::testing
