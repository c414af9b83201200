#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "TestSupport.h"
#include "app/StationConfig.h"
#include "platform/Numbers.h"

namespace marvolen {
namespace {

using station_test::ReadFile;
using station_test::TempDir;
using station_test::WriteFile;

std::string Padded(std::string text, size_t width) {
  text.resize(width, ' ');
  return text;
}

// A record laid out field by field, each padded to its width.
std::string Record(const std::string& init, const std::string& speed, const std::string& port,
                   char reserved, const std::string& password, const std::string& dir) {
  return Padded(init, 50) + Padded(speed, 5) + Padded(port, 1) + reserved + Padded(password, 10) +
         Padded(dir, 40);
}

TEST(ParseNumber, TakesTheLeadingDigitsOnly) {
  const std::pair<const char*, int32_t> rows[] = {
      {"9600 ", 9600}, {"600  ", 600}, {"19200", 19200},          {" 9600", 0}, {"", 0}, {"x1", 0},
      {"12a34", 12},   {"-5", 0},      {"2147483647", 2147483647}};
  for (const auto& [text, value] : rows) EXPECT_EQ(ParseNumber(text), value) << text;
  EXPECT_THROW(ParseNumber("2147483648"), ConversionError);
}

TEST(StationConfigParse, OneHundredSevenCharactersAreUsedAndOneHundredSixAreNot) {
  const std::string record = Record("AT&F", "19200", "3", 'R', "secreto", "/srv/work");
  ASSERT_EQ(record.size(), 107u);
  const StationConfig c = ParseStationConfig(record + "ignored");
  EXPECT_EQ(c.ModemInitText, Padded("AT&F", 50));
  EXPECT_EQ(c.BaudRate, 19200);
  EXPECT_EQ(c.PortNumber, 3);
  EXPECT_EQ(c.ReservedChar, 'R');
  EXPECT_EQ(c.SettingsPassword, "secreto   ");
  EXPECT_EQ(c.WorkDir, "/srv/work/");

  const StationConfig d = ParseStationConfig(record.substr(0, 106));
  EXPECT_EQ(d.ModemInitText, "");
  EXPECT_EQ(d.BaudRate, 9600);
  EXPECT_EQ(d.PortNumber, 0);
  EXPECT_EQ(d.ReservedChar, ' ');
  EXPECT_EQ(d.SettingsPassword, std::string(10, ' '));
  EXPECT_EQ(d.WorkDir, kDefaultWorkDir);
  EXPECT_EQ(d.WorkDir.size(), 39u);
}

TEST(StationConfigParse, WorkDirLosesTrailingBlanksAndEndsInOneSlash) {
  const std::pair<std::string, std::string> rows[] = {
      {"/srv/work", "/srv/work/"},
      {"/srv/work/", "/srv/work/"},
      {"", ""},
      {"/srv/work\t\r", "/srv/work/"},
      {std::string(40, 'd'), std::string(40, 'd') + "/"}};
  for (const auto& [stored, loaded] : rows) {
    EXPECT_EQ(ParseStationConfig(Record("", "9600", "1", ' ', "", stored)).WorkDir, loaded)
        << stored;
  }
}

TEST(StationConfigParse, StoredValuesAreTakenUncheckedAndConvertedFromWindows1252) {
  const StationConfig c =
      ParseStationConfig(Record("M\xF3"
                                "dem",
                                " 9600", " ", '\xA9', "a\xF1o", "/c\xE1mara"));
  EXPECT_EQ(c.PortNumber, 0);  // a blank port sends the station back to the first run
  EXPECT_EQ(c.BaudRate, 0);
  EXPECT_EQ(c.ModemInitText.substr(0, 6), "Módem");
  EXPECT_EQ(c.SettingsPassword.substr(0, 4), "año");
  EXPECT_EQ(c.WorkDir, "/cámara/");
  EXPECT_EQ(c.ReservedChar, '\xA9');
}

TEST(StationConfigBuild, EveryFieldRoundTripsInItsPlace) {
  StationConfig c;
  c.ModemInitText = "Inicialización";
  c.BaudRate = 9600;
  c.PortNumber = 4;
  c.ReservedChar = '\x81';  // no character of the code page: kept as the raw byte
  c.SettingsPassword = "clave";
  c.WorkDir = "/var/lib/marvolen/";
  const std::string record = BuildStationConfigRecord(c);
  ASSERT_EQ(record.size(), 107u);
  EXPECT_EQ(record, Record("Inicializaci\xF3n", "9600", "4", '\x81', "clave", c.WorkDir));
  const StationConfig back = ParseStationConfig(record);
  EXPECT_EQ(back.ModemInitText, Padded("Inicialización", 51));  // 50 characters, 51 bytes
  EXPECT_EQ(back.ReservedChar, '\x81');
  EXPECT_EQ(back.WorkDir, c.WorkDir);
}

// Whatever bytes the texts of a record hold, a load and a save give them back unchanged:
// the modem text, the password and the working directory each carry all 256 values (the
// directory keeps its last byte a "/", as a loaded directory always ends in one).
TEST(StationConfigBuild, EveryByteOfTheTextsSurvivesALoadAndASave) {
  for (int first = 0; first < 256; first += 38) {
    std::string init, password, dir = "/";
    for (int i = 0; i < 50; ++i) init += static_cast<char>((first + i) % 256);
    for (int i = 0; i < 10; ++i) password += static_cast<char>((first + 50 + i) % 256);
    for (int i = 0; i < 38; ++i) dir += static_cast<char>((first + 60 + i) % 256);
    dir += "/";
    const std::string record = Record(init, "9600", "1", '\x90', password, dir);
    EXPECT_EQ(BuildStationConfigRecord(ParseStationConfig(record)), record) << first;
  }
}

TEST(StationConfigFile, LoadFindsAnyLetterCaseAndTakesShortFilesAsDefaults) {
  TempDir home;
  EXPECT_FALSE(LoadStationConfig(home.path()).complete);
  const std::string record = Record("", "2400", "2", ' ', "x", "/w");
  WriteFile(home.path() / "MARVOLEN.TCP", record.substr(0, 106));
  EXPECT_FALSE(LoadStationConfig(home.path()).complete);
  EXPECT_EQ(LoadStationConfig(home.path()).config.PortNumber, 0);
  WriteFile(home.path() / "MARVOLEN.TCP", record);
  const LoadedStationConfig loaded = LoadStationConfig(home.path());
  EXPECT_TRUE(loaded.complete);
  EXPECT_EQ(loaded.config.BaudRate, 2400);
}

TEST(StationConfigFile, SaveReplacesTheExistingRecordWhateverItsLetterCase) {
  TempDir home;
  WriteFile(home.path() / "Marvolen.TCP", std::string(200, 'o'));
  const std::string record = Record("", "9600", "1", ' ', "k", "/w/");
  SaveStationConfig(home.path(), record);
  EXPECT_EQ(ReadFile(home.path() / "Marvolen.TCP"), record);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()), {}), 1);
}

// Each system call of the save made to fail in turn: the old record stays as it was and no
// temporary file is left behind.
TEST(StationConfigFile, FailedSaveLeavesTheOldRecordIntact) {
  enum FailAt { kOpen, kWrite, kShortThenFail, kFsync, kClose, kRename };
  for (const FailAt where : {kOpen, kWrite, kShortThenFail, kFsync, kClose, kRename}) {
    SCOPED_TRACE(where);
    TempDir home;
    const std::string old_record = Record("OLD", "9600", "1", ' ', "old", "/old/");
    WriteFile(home.path() / "marvolen.tcp", old_record);
    const FileOps& sys = SystemFileOps();
    FileOps ops = sys;
    int writes = 0;
    ops.open = [&](const char* p, int f, mode_t m) {
      return where == kOpen ? (errno = EACCES, -1) : sys.open(p, f, m);
    };
    ops.write = [&](int fd, const void* data, size_t size) -> ssize_t {
      if (where == kWrite || (where == kShortThenFail && writes++ > 0)) return errno = ENOSPC, -1;
      return sys.write(fd, data, where == kShortThenFail ? 10 : size);
    };
    ops.fsync = [&](int fd) { return where == kFsync ? (errno = EIO, -1) : sys.fsync(fd); };
    ops.close = [&](int fd) {
      const int rc = sys.close(fd);
      return where == kClose ? (errno = EIO, -1) : rc;
    };
    ops.renameat = [&](int from_dir, const char* a, int to_dir, const char* b) {
      return where == kRename ? (errno = EXDEV, -1) : sys.renameat(from_dir, a, to_dir, b);
    };
    EXPECT_THROW(SaveStationConfig(home.path(), Record("NEW", "9600", "2", ' ', "n", "/n/"), ops),
                 FileError);
    EXPECT_EQ(ReadFile(home.path() / "marvolen.tcp"), old_record);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()), {}), 1);
  }
}

// A save killed half-way leaves its temporary file; the next save removes it, as it does
// the one fixed name earlier versions used. A temporary file of a live process stays.
TEST(StationConfigFile, TheNextSaveRemovesTheLitterOfAKilledOne) {
  TempDir home;
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  const std::string dead = ".marvolen.tcp." + std::to_string(child) + ".0.tmp";
  const std::string live = ".marvolen.tcp." + std::to_string(::getppid()) + ".0.tmp";
  WriteFile(home.path() / dead, "half a rec");
  WriteFile(home.path() / live, "being saved");
  WriteFile(home.path() / "marvolen.tcp.tmp", "old litter");
  const std::string record = Record("", "9600", "1", ' ', "k", "/w/");
  SaveStationConfig(home.path(), record);
  EXPECT_EQ(ReadFile(home.path() / "marvolen.tcp"), record);
  EXPECT_FALSE(std::filesystem::exists(home.path() / dead));
  EXPECT_FALSE(std::filesystem::exists(home.path() / "marvolen.tcp.tmp"));
  EXPECT_TRUE(std::filesystem::exists(home.path() / live));
}

// The call bounds come from the environment; a value that is not a whole number in range is
// reported (escaped) and the default kept, so that a typo never lifts a bound.
TEST(CallLimitsSetting, FromTheEnvironmentWithDefaultsForBadValues) {
  // MARVOLEN_MAX_CALL_MINUTES, MARVOLEN_MAX_IDLE_MINUTES, MARVOLEN_MAX_ARCHIVE_MIB (nullptr:
  // unset), the bounds taken.
  const std::vector<std::tuple<const char*, const char*, const char*, int, int, std::uint64_t>>
      rows = {
          {nullptr, nullptr, nullptr, 30, 5, 64},
          {"45", "2", "128", 45, 2, 128},
          {"1440", "1440", "1", 1440, 1440, 1},
          {"0", "1", "4097", 30, 5, 64},
          {"abc", "x", "-5", 30, 5, 64},
          {"", "", "64MiB", 30, 5, 64},
          {"99999999999", "1441", " 10", 30, 5, 10},
      };
  for (const auto& [minutes, idle, mib, want_minutes, want_idle, want_mib] : rows) {
    std::vector<std::string> problems;
    const CallLimits limits = CallLimitsFromEnvironment(
        [&](std::string_view name) {
          if (name == "MARVOLEN_MAX_IDLE_MINUTES") return idle;
          return name.ends_with("MINUTES") ? minutes : mib;
        },
        problems);
    EXPECT_EQ(limits.max_call_time, std::chrono::minutes(want_minutes));
    EXPECT_EQ(limits.max_idle_time, std::chrono::minutes(want_idle));
    EXPECT_EQ(limits.max_archive_bytes, want_mib << 20);
    // A value set that did not take is reported.
    EXPECT_EQ(problems.size(), std::size_t{minutes && want_minutes == 30} +
                                   (idle && want_idle == 5) + (mib && want_mib == 64));
  }
  std::vector<std::string> problems;
  CallLimitsFromEnvironment([](const char*) { return "x\x1b]0;"; }, problems);
  EXPECT_EQ(problems.at(0),
            "MARVOLEN_MAX_CALL_MINUTES no válido (\"x\\x1B]0;\"): debe ser un número de 1 a 1440; "
            "se usa 30");
  EXPECT_EQ(problems.at(1),
            "MARVOLEN_MAX_IDLE_MINUTES no válido (\"x\\x1B]0;\"): debe ser un número de 2 a 1440; "
            "se usa 5");
}

}  // namespace
}  // namespace marvolen
