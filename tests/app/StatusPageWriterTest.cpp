#include "app/StatusPageWriter.h"

#include <gtest/gtest.h>

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
    EXPECT_NE(ReadFile(dir.path() / "estado.html").find("<td>7</td>"), std::string::npos);

    r.office = 8;
    AppendCallRecord(work + kCallLogName, r);
    writer.Request();
    writer.Request();  // while the first may still be writing: one more page at most
    writer.Flush();
    EXPECT_NE(ReadFile(dir.path() / "estado.html").find("<td>8</td>"), std::string::npos);
  }

  // A page that cannot be written is told at the next request, not lost silently.
  StatusPageWriter broken(work + "missing/", clock);
  broken.Request();
  broken.Flush();
  EXPECT_NE(broken.Request().find("estado.html"), std::string::npos);
}

}  // namespace
}  // namespace marvolen::testing
