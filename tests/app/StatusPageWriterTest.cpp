#include "app/StatusPageWriter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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

// Pages follow one another no closer than the spacing: a request meanwhile waits for it, but
// an orderly end or a flush writes at once, so no change is left off the page.
TEST(StatusPageWriter, PagesAreSpacedButAFlushOrTheEndWritesAtOnce) {
  scratch::ScratchDir dir("status-spaced");
  const std::string work = dir.path().string() + "/";
  const fs::path page = dir.path() / "estado.html";
  VirtualClock clock;
  CallRecord r;
  r.start = clock.WallNow();
  r.end = r.start + Millis(1000);
  r.result = CallResult::kSuccess;
  const auto call = [&](int office) {
    r.office = office;
    AppendCallRecord(work + kCallLogName, r);
  };
  const auto shows = [&](int office) {
    return ReadFile(page).find("data-label=\"oficina\">" + std::to_string(office) + "</td>") !=
           std::string::npos;
  };
  const auto seconds_since = [](std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  };
  {
    StatusPageWriter writer(work, clock, {}, std::chrono::seconds(20));
    call(7);
    writer.Request();
    writer.Flush();
    ASSERT_TRUE(shows(7));
    call(8);
    writer.Request();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(shows(8)) << "a page within the spacing";
    const auto flushed = std::chrono::steady_clock::now();
    writer.Flush();
    EXPECT_LT(seconds_since(flushed), 10);
    EXPECT_TRUE(shows(8));
    call(9);
    writer.Request();
  }
  EXPECT_TRUE(shows(9)) << "the change asked for before the end";

  // Another station's page counts as this one's: a request right after it waits out the
  // spacing from that page, so that several lines share one page rather than write one each.
  StatusPageWriter other(work, clock);
  call(10);
  other.Request();
  other.Flush();
  StatusPageWriter writer(work, clock, {}, std::chrono::seconds(20));
  call(11);
  writer.Request();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(shows(11)) << "a page within the spacing of another station's";
  writer.Flush();
  EXPECT_TRUE(shows(11));
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
