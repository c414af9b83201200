#include "app/StatusPageWriter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "callrec/CallLog.h"
#include "tests/ScratchDir.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(StatusPageWriter, WritesThePageAfterEachRequestAndReportsAFailureAtTheNext) {
  scratch::ScratchDir dir("status-page");
  const std::string work = dir.path().string() + "/";
  VirtualClock clock;
  CallRecord r;
  r.start = clock.WallNow();
  r.end = r.start + Millis(1000);
  r.office = 7;
  r.result = CallResult::kSuccess;
  AppendCallRecord(work + kCallLogName, r);
  {
    StatusPageWriter writer(work, clock);
    EXPECT_EQ(writer.Request(), "");
    writer.Flush();
    EXPECT_NE(ReadFile(dir.path() / "estado.html").find("data-label=\"oficina\">7</td>"),
              std::string::npos);

    r.office = 8;
    AppendCallRecord(work + kCallLogName, r);
    writer.Request();
    writer.Request();  // while the first may still be writing: one more page at most
    writer.Flush();
    EXPECT_NE(ReadFile(dir.path() / "estado.html").find("data-label=\"oficina\">8</td>"),
              std::string::npos);
    // The metrics beside the page, unless MARVOLEN_METRICS_DIR names another directory.
    EXPECT_NE(ReadFile(dir.path() / "marvolen.prom").find("marvolen_calls_total{line=\"com0\""),
              std::string::npos);
  }
  fs::create_directory(dir.path() / "textfile");
  ::setenv("MARVOLEN_METRICS_DIR", (dir.path() / "textfile").c_str(), 1);
  {
    StatusPageWriter writer(work, clock);
    writer.Request();
    writer.Flush();
  }
  ::unsetenv("MARVOLEN_METRICS_DIR");
  EXPECT_TRUE(fs::exists(dir.path() / "textfile" / "marvolen.prom"));

  // A page that cannot be written is told at the next request, not lost silently.
  StatusPageWriter broken(work + "missing/", clock);
  broken.Request();
  broken.Flush();
  EXPECT_NE(broken.Request().find("estado.html"), std::string::npos);
}

// A FIFO in the call log's place neither holds the writer (nor the station's end, which waits
// for it) nor fills the log view: its error is told once, and again only after a page went.
TEST(StatusPageWriter, ALogThatIsNoFileIsToldOnceAndHoldsNothing) {
  scratch::ScratchDir dir("status-fifo");
  const std::string log = (dir.path() / kCallLogName).string();
  VirtualClock clock;
  StatusPageWriter writer(dir.path().string() + "/", clock);
  const auto request = [&] {
    const std::string error = writer.Request();
    writer.Flush();
    return error.find(log) != std::string::npos;
  };
  ASSERT_EQ(::mkfifo(log.c_str(), 0644), 0);
  request();
  EXPECT_TRUE(request());
  EXPECT_FALSE(request());
  fs::remove(log);
  request();
  ASSERT_EQ(::mkfifo(log.c_str(), 0644), 0);
  EXPECT_FALSE(request());
  EXPECT_TRUE(request());
}

}  // namespace
}  // namespace marvolen::testing
