// The station with its line as the programs build it (MakeLineStation), on the virtual clock:
// the housekeeping it does while it runs. The port's device is absent, so no call comes.
#include "app/LineStation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "FakeCallLine.h"
#include "TestSupport.h"
#include "app/StationConfig.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;
using station_test::ReadFile;
using station_test::TempDir;
using station_test::WriteFile;

TEST(LineStationHousekeeping, TranscriptsAgeAtStartAndEveryDayAfterWithLinksShown) {
  station_test::UseUtc();
  TempDir home, work, outside;
  ::setenv("MARVOLEN_COM1", (home.dir() + "no-such-device").c_str(), 1);
  StationConfig config;
  config.PortNumber = 1;
  config.WorkDir = work.dir();
  WriteFile(home.path() / kStationConfigFile, BuildStationConfigRecord(config));
  const fs::path calls = work.path() / "calls";
  const fs::path old = calls / "2026-10-01" / "100000-loc07.txt";  // the clock says 7 December
  fs::create_directories(old.parent_path());
  WriteFile(old, "old");
  WriteFile(outside.path() / "100000-loc07.txt", "theirs");
  fs::create_directory_symlink(outside.path(), calls / "2026-10-02");
  const std::string warning =
      "Transcripciones: calls/2026-10-02 es un enlace simbólico; no se sigue ni se borra";

  VirtualClock clock;
  RecordingWindow window;
  const auto station = MakeLineStation(window, clock, home.path());
  station->FormCreate();
  const auto tick = [&] {
    station->Timer1Timer();
    clock.Advance(Millis(station->state.TimerInterval));
  };
  tick();
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(window.Count(warning), 1);

  // Another old transcript turns up (from a station whose clock was wrong, say): it goes at
  // the next day's run, not at every tick.
  fs::create_directories(old.parent_path());
  WriteFile(old, "old");
  tick();
  EXPECT_TRUE(fs::exists(old));
  clock.Advance(std::chrono::hours(24));
  tick();
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(window.Count(warning), 2);
  EXPECT_EQ(ReadFile(outside.path() / "100000-loc07.txt"), "theirs");
  ::unsetenv("MARVOLEN_COM1");
}

}  // namespace
}  // namespace marvolen::testing
