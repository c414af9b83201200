// How much the status page's writer holds while it writes the page of a large network. Every
// allocation of this program goes through the operators below, which count the bytes alive
// and their peak: a writer that held every office's row, or the whole page, peaks above the
// page's own size.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "callrec/CallLog.h"
#include "callrec/Report.h"
#include "callrec/StatusSummary.h"
#include "platform/TempNames.h"
#include "tests/callrec/Scratch.h"

namespace {

std::atomic<long long> g_alive{0};
std::atomic<long long> g_peak{0};

void* Counted(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const long long now = g_alive += static_cast<long long>(malloc_usable_size(p));
  for (long long peak = g_peak; now > peak && !g_peak.compare_exchange_weak(peak, now);) {
  }
  return p;
}

void Uncounted(void* p) noexcept {
  if (p == nullptr) return;
  g_alive -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
  return Counted(size);
}
void* operator new[](std::size_t size) {
  return Counted(size);
}
void operator delete(void* p) noexcept {
  Uncounted(p);
}
void operator delete[](void* p) noexcept {
  Uncounted(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Uncounted(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  Uncounted(p);
}

namespace marvolen {
namespace {

constexpr int kOffices = 3000;

void MakeOfficeDirs(const std::string& work_dir) {
  for (int n = 1; n <= kOffices; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "loc%02d", n);
    std::filesystem::create_directory(work_dir + name);
  }
}

TEST(PageMemory, ThePageOfThousandsOfOfficesIsNeverHeldWhole) {
  test::ScratchDir dir;
  ReportOptions options;
  options.work_dir = dir.Path();
  options.now = *ParseIso("2026-12-07T12:00:00.000+00:00");
  // 3,000 offices with a directory, one of which has called: the summary is made by the
  // first page, and the second, measured, walks every office.
  MakeOfficeDirs(dir.Path());
  CallRecord r;
  r.start = options.now - std::chrono::hours(1);
  r.end = r.start + std::chrono::minutes(1);
  r.port = 1;
  r.device = "/dev/ttyS0";
  r.office = 7;
  r.result = CallResult::kSuccess;
  r.admitted = true;
  r.table_kind = "tbl";
  AppendCallRecord(dir.Path() + kCallLogName, r);
  ASSERT_TRUE(WriteStatusPage(options));

  const long long before = g_alive;
  g_peak = before;
  ASSERT_TRUE(WriteStatusPage(options));
  const long long held = g_peak - before;
  const auto page = static_cast<long long>(std::filesystem::file_size(dir.Path() + "estado.html"));
  ASSERT_GT(page, kOffices * 300LL);  // every office has its row
  // A few pieces of 64 KiB on their way to the disk, one office, the lines and the days.
  EXPECT_LT(held, page / 3) << "held " << held << " bytes for a page of " << page;
}

// A rebuild of the summary from a long log holds the offices of one round at a time, however
// many offices the log names.
TEST(PageMemory, ARebuildOfTheSummaryHoldsOneRoundOfOffices) {
  test::ScratchDir dir;
  const WallTime now = *ParseIso("2026-12-07T12:00:00.000+00:00");
  std::string log;
  for (int call = 0; call < 2; ++call) {
    for (int n = 1; n <= kOffices; ++n) {
      CallRecord r;
      r.start = now - std::chrono::hours(2 - call);
      r.end = r.start + std::chrono::minutes(1);
      r.port = 1;
      r.device = "/dev/ttyS0";
      r.office = n;
      r.result = CallResult::kSuccess;
      r.admitted = true;
      r.table_kind = "tbl";
      r.transcript =
          "calls/2026-12-07/1000" + std::to_string(call) + "-loc" + std::to_string(n) + ".txt";
      r.office_files = std::vector<ReportedFile>{
          {"TARIFA.TBL", n, "BL18"}, {"ZONAS.TBL", 7, "L260"}, {"FESTIVOS.TBL", 9, "F2"}};
      log += RecordToJson(r) + "\n";
    }
  }
  test::WriteAll(dir.Path() + kCallLogName, log);
  const JsonLinesCallStore store(dir.Path());
  StatusSummary summary(dir.Path(), store);
  const long long before = g_alive;
  g_peak = before;
  ASSERT_EQ(summary.Rebuild(now, std::chrono::milliseconds(0)), StatusSummary::Outcome::kRebuilt);
  const long long held = g_peak - before;
  ReportOptions options;
  options.work_dir = dir.Path();
  options.now = now;
  const auto read = summary.Read(options);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->records, 2u * kOffices);
  // The scan's buffer (1.3 MB, most of it never touched) and one round's budget (1 MiB);
  // every office held at once takes 4.4 MB.
  EXPECT_LT(held, 3'000'000) << "held " << held << " bytes";
}

// The start-up's clean-up of interrupted writes looks into every office directory: one at a
// time, never a list of them all.
TEST(PageMemory, TheCleanUpAtStartHoldsNoListOfOfficeDirectories) {
  test::ScratchDir home, work;
  MakeOfficeDirs(work.Path());
  const long long before = g_alive;
  g_peak = before;
  EXPECT_TRUE(RemoveInterruptedTemps(home.Path(), work.Path()).empty());
  const long long held = g_peak - before;
  // Lists of the directories cost some 600 bytes an office; reading the directories takes
  // some 200 KB however many there are.
  EXPECT_LT(held, kOffices * 100LL) << "held " << held << " bytes";
}

}  // namespace
}  // namespace marvolen
