#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "TestSupport.h"
#include "app/Station.h"
#include "call/ScriptSteps.h"

namespace marvolen {
namespace {

using station_test::ReadFile;
using station_test::TempDir;
using station_test::WriteFile;

// The station with its line work replaced by what each test needs.
class TestStation : public Station {
 public:
  using Station::Station;
  std::function<void()> on_tick = [] {};
  int ticks = 0;
  int ports_closed = 0;

 protected:
  void LineTick() override {
    ++ticks;
    on_tick();
  }
  void ClosePorts() override { ++ports_closed; }
};

std::string Record(int port, const std::string& password, const std::string& dir) {
  std::string r = std::string(50, ' ') + "9600 " + std::to_string(port) + "R" + password;
  r.resize(67, ' ');
  r += dir;
  r.resize(107, ' ');
  return r;
}

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override { station_test::UseUtc(); }
  void StartWithSettings(const std::string& password = "") {
    WriteFile(home.path() / "marvolen.tcp", Record(1, password, work.dir()));
    station.FormCreate();
  }

  TempDir home;
  TempDir work;
  VirtualClock clock;
  station_test::FormsWindow window;
  TestStation station{window, clock, home.path()};
};

TEST_F(StationTest, StartWithoutSettingsLogsNothingAndKeepsTheDesignTimeTimer) {
  std::filesystem::create_directory(home.path() / "TABLAS");
  station.FormCreate();
  EXPECT_EQ(station.ExeDir, home.dir());
  EXPECT_EQ(window.timer_interval, 5000);
  EXPECT_TRUE(window.timer_enabled);
  EXPECT_EQ(station.config().PortNumber, 0);
  EXPECT_EQ(station.activity_log().Pending().size(), 0u);
  EXPECT_TRUE(window.lines.empty());
  // The staging directories exist afterwards; one in another letter case is reused.
  EXPECT_FALSE(std::filesystem::exists(home.path() / "tablas"));
  EXPECT_TRUE(std::filesystem::is_directory(home.path() / "upgrade"));
}

TEST_F(StationTest, StartWithSettingsLogsTheStartLineAndMakesUpgrades) {
  window.timer_enabled = false;
  StartWithSettings();
  EXPECT_EQ(window.calls, std::vector<std::string>{"ClearLog"});
  EXPECT_EQ(station.WorkDir, work.dir());
  EXPECT_EQ(station.state.IdentLine, "      Datos");
  EXPECT_EQ(station.state.TableExt, TableKind::Tbl());
  EXPECT_EQ(station.state.LineState, "");
  EXPECT_TRUE(window.timer_enabled);
  EXPECT_EQ(window.timer_interval, 5000);
  EXPECT_TRUE(std::filesystem::is_directory(work.path() / "upgrades"));
  EXPECT_EQ(ReadFile(work.path() / "volenlog.tcp"),
            "07/12/2026 10:00:00 Of: Datos  *********** Inicio Programa: " + home.dir() +
                "Marvolen.exe\r\n");
  EXPECT_TRUE(window.lines.empty());
}

// What a killed filing or staging left (temporary names of processes that are gone) goes at
// start-up, a line each in the log view and the activity log; everything else stays, live
// processes' temporary files and what an office directory that is a link points to included.
TEST_F(StationTest, StartRemovesWhatInterruptedFilingsLeftAndNothingElse) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  const std::string dead = std::to_string(child);
  const std::string live = std::to_string(::getpid());
  namespace fs = std::filesystem;
  TempDir elsewhere;
  for (const char* dir : {"tablas", "upgrade"}) fs::create_directories(home.path() / dir);
  fs::create_directories(work.path() / "loc07");
  fs::create_directories(work.path() / ("LOC08/.recibo." + dead + ".4.tmp/sub"));
  fs::create_directory_symlink(elsewhere.path(), work.path() / "loc09");
  const std::vector<fs::path> litter{home.path() / ("tablas/.loc07.tbl." + dead + ".0.tmp"),
                                     home.path() / ("upgrade/.prog.exe." + dead + ".1.tmp"),
                                     work.path() / ("loc07/.07122026100004.trf." + dead + ".2.tmp"),
                                     work.path() / ("loc07/.of7.TRF." + dead + ".3.tmp"),
                                     work.path() / ("LOC08/.recibo." + dead + ".4.tmp"),
                                     home.path() / (".marvolen.tcp." + dead + ".5.tmp")};
  const std::vector<fs::path> kept{
      work.path() / "loc07/trafico.TRF", work.path() / "loc07/07122026100004.trf",
      work.path() / ("loc07/.of7.TRF." + live + ".6.tmp"), work.path() / "loc07/of7.TRF.tmp",
      elsewhere.path() / (".of9.TRF." + dead + ".7.tmp")};
  for (const fs::path& path : litter) {
    if (!fs::exists(path)) WriteFile(path, "x");
  }
  WriteFile(work.path() / ("LOC08/.recibo." + dead + ".4.tmp/sub/01122026.daw"), "x");
  for (const fs::path& path : kept) WriteFile(path, "x");

  StartWithSettings();
  const std::string said = "Borrado archivo temporal de una escritura interrumpida: ";
  std::vector<std::string> expected;
  for (const fs::path& path : litter) {
    EXPECT_FALSE(fs::exists(path)) << path;
    expected.push_back(said + path.string());
  }
  for (const fs::path& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
  std::vector<std::string> shown = window.lines;
  std::sort(shown.begin(), shown.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(shown, expected);
  const std::string log = ReadFile(work.path() / "volenlog.tcp");
  EXPECT_EQ(static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')), 1 + litter.size());
}

TEST_F(StationTest, WorkDirGetsASlashAndARelativeOneStartsAtTheHome) {
  const std::pair<std::string, std::string> rows[] = {
      {work.path().string(), work.dir()},
      {"data", home.dir() + "data/"},
      {"../" + work.path().filename().string(), work.dir()}};
  for (const auto& [stored, expected] : rows) {
    WriteFile(home.path() / "marvolen.tcp", Record(1, "", stored));
    TestStation s(window, clock, home.path());
    s.FormCreate();
    EXPECT_EQ(s.WorkDir, expected) << stored;
    EXPECT_TRUE(std::filesystem::is_directory(s.WorkDir + "upgrades"));
  }
}

TEST_F(StationTest, StartupFailureGoesToTheHandler) {
  WriteFile(home.path() / "tablas", "a file where a directory belongs");
  station.state.LineState = "conectado";
  station.FormCreate();
  ASSERT_EQ(window.lines.size(), 1u);
  EXPECT_EQ(window.lines[0].rfind("ERROR PROGRAMA: ", 0), 0u) << window.lines[0];
  EXPECT_EQ(station.state.LineState, "");
  EXPECT_TRUE(window.timer_enabled);
}

TEST_F(StationTest, FirstTickAsksForThePasswordOpensTheSettingsAndStopsTheTimer) {
  station.FormCreate();
  window.input_answer = "  typed as is ";
  station.Timer1Timer();
  EXPECT_EQ(window.calls, (std::vector<std::string>{"ClearLog", "InputBox Ingrese la clave:|",
                                                    "ShowSettingsForm"}));
  EXPECT_FALSE(window.timer_enabled);
  EXPECT_EQ(station.config().SettingsPassword, "  typed as is ");
  EXPECT_EQ(station.ticks, 0);
  window.input_answer = std::nullopt;  // cancelled
  station.Timer1Timer();
  EXPECT_EQ(station.config().SettingsPassword, "");
}

TEST_F(StationTest, TickWithSettingsRunsTheLineWithTheTimerOffAndEnablesItAgain) {
  StartWithSettings();
  bool enabled_during_tick = true;
  station.on_tick = [&] { enabled_during_tick = window.timer_enabled; };
  station.Timer1Timer();
  EXPECT_EQ(station.ticks, 1);
  EXPECT_FALSE(enabled_during_tick);
  EXPECT_TRUE(window.timer_enabled);
}

TEST_F(StationTest, ExceptionInATickIsShownEmptiesTheLineStateAndEnablesTheTimer) {
  StartWithSettings();
  station.state.LineState = "conectado";
  station.state.ScriptStep = script::AwaitingAck(script::kTrafficDelete);
  station.on_tick = [] { throw std::runtime_error("No se puede abrir TRAFICO.TRF"); };
  station.Timer1Timer();
  station.on_tick = [] { throw 42; };
  station.Timer1Timer();
  // A library's file error reaches the operator in the station's words, with the path and
  // the system's reason, not the library's own text.
  station.on_tick = [] {
    throw std::filesystem::filesystem_error("cannot create directories", "/srv/trabajo/upgrades",
                                            std::make_error_code(std::errc::permission_denied));
  };
  station.Timer1Timer();
  EXPECT_EQ(window.lines, (std::vector<std::string>{
                              "ERROR PROGRAMA: No se puede abrir TRAFICO.TRF",
                              "ERROR PROGRAMA: excepción desconocida",
                              "ERROR PROGRAMA: Error de archivo en /srv/trabajo/upgrades: " +
                                  std::string(std::strerror(EACCES))}));
  EXPECT_EQ(station.state.LineState, "");
  EXPECT_EQ(station.state.ScriptStep, script::AwaitingAck(script::kTrafficDelete));
  EXPECT_TRUE(window.timer_enabled);
  const std::string log = ReadFile(work.path() / "volenlog.tcp");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);  // nothing of it is logged
}

// Whatever reaches the log view or a message box through the station (a caller's reply, an
// archive member's name, an error naming either) has its control bytes escaped.
TEST_F(StationTest, TextsShownThroughTheStationHaveTheirControlBytesEscaped) {
  StartWithSettings();
  window.lines.clear();
  station.window().AddLine(std::string("ERROR de descompresión:a\0b\x1B[2J.daw", 35));
  station.on_tick = [] { throw std::runtime_error("reply \x1B]0;owned\x07"); };
  station.Timer1Timer();
  station.window().ShowMessage(
      "\x9B"
      "31m");
  EXPECT_EQ(window.lines, (std::vector<std::string>{"ERROR de descompresión:a\\x00b\\x1B[2J.daw",
                                                    "ERROR PROGRAMA: reply \\x1B]0;owned\\x07"}));
  EXPECT_EQ(window.messages, std::vector<std::string>{"\\x9B31m"});
}

TEST_F(StationTest, SalirWritesTheActivityLogAndTerminates) {
  StartWithSettings();
  station.activity_log().LogEvent("evento");
  station.Button2Click();
  EXPECT_TRUE(window.terminated);
  const std::string log = ReadFile(work.path() / "volenlog.tcp");
  EXPECT_EQ(log.rfind("07/12/2026 10:00:00 Of: Datos  *********** Inicio Programa: ", 0), 0u);
  EXPECT_NE(log.find("Of: Datos evento\r\n"), std::string::npos);
}

TEST_F(StationTest, SalirThatCannotWriteTheLogDoesNotTerminate) {
  StartWithSettings();
  std::filesystem::remove_all(work.path());
  station.activity_log().LogEvent("evento");  // kept pending: the file cannot be written
  station.Button2Click();
  EXPECT_FALSE(window.terminated);
  ASSERT_EQ(window.lines.size(), 1u);
  EXPECT_EQ(window.lines[0].rfind("ERROR PROGRAMA: No se puede escribir el archivo ", 0), 0u);
  EXPECT_EQ(station.activity_log().Pending().size(), 1u);
}

TEST_F(StationTest, ClosingTheMainFormWritesPendingLinesAndClosesThePorts) {
  StartWithSettings();
  station.FormClose();
  EXPECT_EQ(station.ports_closed, 1);
  EXPECT_NE(ReadFile(work.path() / "volenlog.tcp").find("Inicio Programa"), std::string::npos);
  station.activity_log().LogEvent("pendiente");
  std::filesystem::remove_all(work.path());
  station.FormClose();  // the ports are closed even when the log cannot be written
  EXPECT_EQ(station.ports_closed, 2);
}

TEST_F(StationTest, PasswordFormStopsTheTimerAndEveryWayOutEnablesIt) {
  struct Row {
    std::string stored, entry;
    bool opens;
    std::string password_after;
  };
  const Row rows[] = {{"", "", true, ""},
                      {"", "nueva  ", true, "nueva"},
                      {"abc", "abc   ", true, "abc"},
                      {"abc", "ABC", false, "abc       "},
                      {"abc", "", false, "abc       "}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stored + "|" + row.entry);
    TestStation s(window, clock, home.path());
    WriteFile(home.path() / "marvolen.tcp", Record(1, row.stored, work.dir()));
    s.FormCreate();
    s.ModificarClick();
    EXPECT_FALSE(window.timer_enabled);
    EXPECT_EQ(window.calls.back(), "ShowPasswordForm");
    window.calls.clear();
    s.AceptarClick(row.entry);
    EXPECT_TRUE(window.timer_enabled);
    std::vector<std::string> expected{"HidePasswordForm"};
    if (row.opens) expected.push_back("ShowSettingsForm");
    EXPECT_EQ(window.calls, expected);
    EXPECT_EQ(s.config().SettingsPassword, row.password_after);
  }
  station.ModificarClick();
  station.CancelarClick();
  EXPECT_EQ(window.calls.back(), "HidePasswordForm");
  EXPECT_TRUE(window.timer_enabled);
  station.ModificarClick();
  station.ClaveFormClose();  // the close box
  EXPECT_TRUE(window.timer_enabled);
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(StationTest, FirstRunThenSaveStoresTheRecordAndEnds) {
  station.FormCreate();
  window.input_answer = "q";
  station.Timer1Timer();
  station.GuardarClick({"1", "19200", "ATZ", work.dir()});
  EXPECT_TRUE(window.terminated);
  EXPECT_TRUE(window.timer_enabled);
  const std::string record = ReadFile(home.path() / "marvolen.tcp");
  ASSERT_EQ(record.size(), 107u);
  EXPECT_EQ(record.substr(0, 67), "ATZ" + std::string(47, ' ') + "192001 q         ");
  EXPECT_EQ(record.substr(67), work.dir() + std::string(40 - work.dir().size(), ' '));
}

TEST_F(StationTest, SaveKeepsTheReservedCharacterAndShowsTheLoadedValues) {
  StartWithSettings("k");
  const SettingsFields shown = station.DatosFormCreate();
  EXPECT_EQ(shown.Puerto, "1");
  EXPECT_EQ(shown.DirTrabajo, work.dir());
  station.GuardarClick(shown);
  EXPECT_EQ(ReadFile(home.path() / "marvolen.tcp"), Record(1, "k", work.dir()));
}

TEST_F(StationTest, RefusedSaveShowsTheMessageAndWritesNothing) {
  station.FormCreate();
  station.Timer1Timer();
  station.GuardarClick(station.DatosFormCreate());
  station.GuardarClick({"4", "57600", "", work.dir()});
  EXPECT_EQ(window.messages, (std::vector<std::string>{"El Número de Puerto serie no puede ser: 0",
                                                       "La Velocidad no puede ser: 57600"}));
  EXPECT_EQ(station.config().PortNumber, 4);  // already in use although refused
  EXPECT_FALSE(window.terminated);
  EXPECT_FALSE(window.timer_enabled);
  EXPECT_FALSE(std::filesystem::exists(home.path() / "marvolen.tcp"));
}

TEST_F(StationTest, NonNumericPortGoesToTheHandler) {
  station.FormCreate();
  station.Timer1Timer();
  station.state.LineState = "esperando";
  station.GuardarClick({"uno", "9600", "", work.dir()});
  EXPECT_EQ(window.lines,
            std::vector<std::string>{"ERROR PROGRAMA: 'uno' is not a valid integer value"});
  EXPECT_EQ(station.state.LineState, "");
  EXPECT_TRUE(window.timer_enabled);
  EXPECT_FALSE(window.terminated);
  EXPECT_FALSE(std::filesystem::exists(home.path() / "marvolen.tcp"));
}

TEST_F(StationTest, FailedSaveKeepsTheOldRecordAndDoesNotEnd) {
  StartWithSettings("old");
  FileOps ops = SystemFileOps();
  ops.write = [](int, const void*, size_t) -> ssize_t { return errno = ENOSPC, -1; };
  station.SetFileOps(ops);
  station.GuardarClick({"2", "9600", "", work.dir()});
  EXPECT_FALSE(window.terminated);
  EXPECT_EQ(window.lines,
            std::vector<std::string>{"ERROR PROGRAMA: No se puede escribir el archivo " +
                                     home.dir() + "marvolen.tcp: No space left on device"});
  EXPECT_EQ(ReadFile(home.path() / "marvolen.tcp"), Record(1, "old", work.dir()));
}

}  // namespace
}  // namespace marvolen
