#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <vector>

#include "TestSupport.h"
#include "app/ActivityLog.h"

namespace marvolen {
namespace {

using station_test::ReadFile;
using station_test::TempDir;

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override { station_test::UseUtc(); }
  std::string Line(const std::string& text) { return "07/12/2026 10:00:00 Of: Datos " + text; }

  TempDir work;
  VirtualClock clock;  // 7 December 2026, 10:00:00 UTC
  std::string ident = "      Datos";
  std::string work_dir = work.dir();
  ActivityLog log{clock, ident, work_dir};
  std::filesystem::path file = work.path() / "volenlog.tcp";
};

TEST_F(ActivityLogTest, LineHasDateTimeOfficeFieldAndText) {
  clock.Advance(Millis(3723'000));
  EXPECT_EQ(log.FormatLine("Comunicación exitosa"),
            "07/12/2026 11:02:03 Of: Datos Comunicación exitosa");
  // Characters 7 to 11 of the identification line, which is Windows-1252 as received.
  const std::pair<std::string, std::string> offices[] = {
      {"Ident=00042XYZ", "00042"}, {"Ident=12", "12"}, {"Ident", ""}, {"Ident=a\xF1o!!", "año!!"}};
  for (const auto& [line, office] : offices) {
    ident = line;
    EXPECT_EQ(log.FormatLine("x"), "07/12/2026 11:02:03 Of: " + office + " x");
  }
}

// The office field and the event come from the line at times: a caller's control bytes
// are written escaped, not as terminal commands.
TEST_F(ActivityLogTest, ControlBytesFromTheLineAreEscaped) {
  ident = "Ident=\x1B[2J\x07";
  EXPECT_EQ(log.FormatLine("Recibiendo archivo!...\x1B]0;x\x07"),
            "07/12/2026 10:00:00 Of: \\x1B[2J\\x07 Recibiendo archivo!...\\x1B]0;x\\x07");
}

TEST_F(ActivityLogTest, LocaleNamedByLcTimeGivesItsFormats) {
  ::setenv("LC_TIME", "C.UTF-8", 1);
  EXPECT_EQ(log.FormatLine("x"), "12/07/26 10:00:00 Of: Datos x");
  ::setenv("LC_TIME", "no_such_locale.XYZ", 1);
  EXPECT_EQ(log.FormatLine("x"), Line("x"));
}

// Each line is in the file as soon as it is logged: a station killed in a call loses none.
TEST_F(ActivityLogTest, EachEventIsAppendedAtOnceAsUtf8EndedByCrLf) {
  log.LogEvent("Inicio");
  EXPECT_EQ(ReadFile(file), Line("Inicio") + "\r\n");
  log.LogEvent("Comunicación abortada!!!!");
  const std::string first = Line("Inicio") + "\r\n" +
                            "07/12/2026 10:00:00 Of: Datos Comunicaci\xC3\xB3n abortada!!!!\r\n";
  EXPECT_EQ(ReadFile(file), first);
  EXPECT_EQ(log.Pending().size(), 0u);
  log.LogEvent("");  // an empty event is the flush: nothing is pending
  EXPECT_EQ(ReadFile(file), first);
}

// While the file cannot be written the first 50 lines are kept; they go, in order, with the
// first line that can be written.
TEST_F(ActivityLogTest, SixtyEventsOnAFailingDiskKeepTheFirstFifty) {
  FileOps ops = SystemFileOps();
  ops.write = [](int, const void*, size_t) -> ssize_t { return errno = ENOSPC, -1; };
  log.SetFileOps(ops);
  std::string expected;
  for (int i = 1; i <= 60; ++i) {
    EXPECT_NO_THROW(log.LogEvent("evento " + std::to_string(i)));
    if (i <= 50) expected += Line("evento " + std::to_string(i)) + "\r\n";
  }
  EXPECT_EQ(log.Pending().size(), 50u);
  EXPECT_THROW(log.FlushLog(), FileError);
  log.SetFileOps(SystemFileOps());
  log.LogEvent("después");
  EXPECT_EQ(ReadFile(file), expected + Line("después") + "\r\n");
}

TEST_F(ActivityLogTest, ExistingFileIsFoundWhateverItsLetterCase) {
  station_test::WriteFile(work.path() / "VOLENLOG.TCP", "old\r\n");
  log.LogEvent("nuevo");
  log.FlushLog();
  EXPECT_EQ(ReadFile(work.path() / "VOLENLOG.TCP"), "old\r\n" + Line("nuevo") + "\r\n");
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(ActivityLogTest, FailedFlushKeepsEveryPendingLine) {
  work_dir = work.dir() + "gone/";
  EXPECT_NO_THROW(log.FlushLog());  // nothing pending: the file is not touched
  log.LogEvent("uno");
  log.LogEvent("dos");
  EXPECT_THROW(log.FlushLog(), FileError);
  EXPECT_EQ(log.Pending().size(), 2u);

  work_dir = work.dir();
  FileOps ops = SystemFileOps();
  ops.write = [](int, const void*, size_t) -> ssize_t { return errno = EIO, -1; };
  log.SetFileOps(ops);
  EXPECT_THROW(log.FlushLog(), FileError);
  EXPECT_EQ(log.Pending().size(), 2u);
  log.SetFileOps(SystemFileOps());
  log.FlushLog();
  EXPECT_EQ(ReadFile(file), Line("uno") + "\r\n" + Line("dos") + "\r\n");
}

// Several stations append to one "volenlog.tcp": each line must be a single write on a
// descriptor opened for appending, so that the lines of two stations never interleave.
TEST_F(ActivityLogTest, EachLineIsOneAppendingWrite) {
  static std::vector<int> open_flags;
  static std::vector<size_t> writes;
  open_flags.clear();
  writes.clear();
  FileOps ops = SystemFileOps();
  ops.open = [](const char* path, int flags, mode_t mode) {
    open_flags.push_back(flags);
    return ::open(path, flags, mode);
  };
  ops.write = [](int fd, const void* data, size_t size) {
    writes.push_back(size);
    return ::write(fd, data, size);
  };
  log.SetFileOps(ops);
  std::string other_station = "otra línea\r\n";
  station_test::WriteFile(file, other_station);
  for (const char* text : {"uno", "dos", "tres"}) {
    log.LogEvent(text);
    other_station += Line(text) + "\r\n";
    std::ofstream(file, std::ios::app) << "otra línea\r\n";  // the other station, in between
    other_station += "otra línea\r\n";
  }
  log.FlushLog();
  ASSERT_EQ(open_flags.size(), 3u);
  for (const int flags : open_flags) EXPECT_TRUE(flags & O_APPEND);
  EXPECT_EQ(writes, (std::vector<size_t>{Line("uno").size() + 2, Line("dos").size() + 2,
                                         Line("tres").size() + 2}));
  EXPECT_EQ(ReadFile(file), other_station);
}

}  // namespace
}  // namespace marvolen
