#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "callrec/CallLog.h"
#include "callrec/CallRecord.h"
#include "callrec/LineStatus.h"
#include "callrec/RecordReader.h"
#include "tests/callrec/Scratch.h"

namespace marvolen {
namespace {

using test::ReadAll;
using test::ScratchDir;
using test::WriteAll;

WallTime At(const char* iso) {
  return *ParseIso(iso);
}

CallRecord FullRecord() {
  CallRecord r;
  r.start = At("2026-12-07T11:49:47.123+01:00");
  r.end = At("2026-12-07T11:50:52.456+01:00");
  r.port = 2;
  r.device = "tcp-modem:127.0.0.1:7001";
  r.line_name = "com2";
  r.home = "/srv/marvolen/com2/";
  r.office = 7;
  r.device_id = "KEY00042";
  r.table_kind = "tab";
  r.features = true;
  r.result = CallResult::kAborted;
  r.reason = CallReason::kTransferFailed;
  r.detail = "Tranferencia abortada";
  r.files_sent = {{"TARIFA.TAB", "table", 1234}, {"PROGRAMA.UPG", "upgrade", 99999}};
  r.deleted = "tablas\\VIEJA.TAB";
  r.traffic = {{"07122026115010.trf", 2048}};
  r.day_files_asked = {"05122026.daw", "06122026.daw"};
  r.day_files_received = {{"05122026.daw", 300}};
  r.clock_set = At("2026-12-07T11:50:40.000+01:00");
  TransferSummary t;
  t.direction = TransferDirection::kReceive;
  t.file = "recibo.zip";
  t.bytes = 2048;
  t.blocks = 2;
  t.block_size = 1024;
  t.resends = 1;
  t.crc = false;
  t.seconds = 2.5;
  t.result = "Transferencia OK";
  r.transfers = {t};
  r.office_files = std::vector<ReportedFile>{{"TARIFA.TAB", 4321, ".TAB"}, {"Ñandú.tab", -5, ""}};
  r.transcript = "calls/2026-12-07/114947-loc07.txt";
  return r;
}

TEST(CallRecordJson, FullAndEmptyRecordsSurviveTheRoundTrip) {
  for (const CallRecord& r : {FullRecord(), CallRecord{}}) {
    const std::string line = RecordToJson(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const CallRecord back = RecordFromJson(line);
    EXPECT_EQ(back.start, r.start);
    EXPECT_EQ(back.end, r.end);
    EXPECT_EQ(back.office, r.office);
    EXPECT_EQ(back.result, r.result);
    EXPECT_EQ(back.reason, r.reason);
    ASSERT_EQ(back.transfers.size(), r.transfers.size());
    ASSERT_EQ(back.office_files.has_value(), r.office_files.has_value());
    EXPECT_EQ(RecordToJson(back), line);  // every other field by its text
  }
}

// Every reason has its own name and reads back as itself; a reason of a newer station's
// leaves the record readable, with its result and no reason, as the log's scan takes it.
TEST(CallRecordJson, EveryReasonReadsBackAndAnUnknownOneLeavesTheRecordWhole) {
  std::set<std::string> names;
  CallRecord r = FullRecord();
  for (int i = 1; i <= static_cast<int>(CallReason::kUnknownOffice); ++i) {
    r.reason = static_cast<CallReason>(i);
    EXPECT_TRUE(names.insert(std::string(ReasonName(r.reason))).second) << ReasonName(r.reason);
    EXPECT_EQ(RecordFromJson(RecordToJson(r)).reason, r.reason) << ReasonName(r.reason);
  }
  EXPECT_EQ(ReasonName(CallReason::kUnknownOffice), "unknown_office");
  r.result = CallResult::kRefused;
  r.reason = CallReason::kWrongPassword;
  std::string line = RecordToJson(r);
  line.replace(line.find("wrong_password"), 14, "some_new_reason");
  const CallRecord back = RecordFromJson(line);
  EXPECT_EQ(back.result, CallResult::kRefused);
  EXPECT_EQ(back.reason, CallReason::kNone);
  EXPECT_EQ(back.detail, r.detail);
  ScratchDir dir;
  WriteAll(dir.Path() + kCallLogName, line + "\n");
  int refused = 0;
  ScanCallLog(
      dir.Path() + kCallLogName,
      [&](const CallSummary& c) { refused += c.result == CallResult::kRefused; },
      [](uint64_t n, std::string_view why) { ADD_FAILURE() << n << ": " << why; });
  EXPECT_EQ(refused, 1);
}

TEST(CallRecordJson, FieldsAreNamedAsDocumented) {
  const std::string line = RecordToJson(FullRecord());
  for (const char* field :
       {"\"result\":\"aborted\"", "\"reason\":\"transfer_failed\"", "\"office\":7",
        "\"line\":{\"device\":\"tcp-modem:127.0.0.1:7001\",\"name\":\"com2\",\"port\":2}",
        "\"duration_s\":65.333", "\"check\":\"checksum\"", "\"bytes_per_second\":819.2",
        "\"deleted\":\"tablas\\\\VIEJA.TAB\""})
    EXPECT_NE(line.find(field), std::string::npos) << field << " in " << line;
  const std::string none = RecordToJson(CallRecord{});
  for (const char* field : {"\"office\":null", "\"reason\":null", "\"office_files\":null",
                            "\"result\":\"never_identified\"", "\"clock_set\":null"})
    EXPECT_NE(none.find(field), std::string::npos) << field;
}

TEST(CallRecordJson, NotARecordIsAnError) {
  for (const char* bad : {"", "{", "[]", "{\"start\":\"x\"}",
                          R"({"start":"2026-12-07T11:49:47+01:00","end":"2026-12-07T11:49:47+01:00",
                          "result":"maybe"})"})
    try {
      RecordFromJson(bad);
      ADD_FAILURE() << "read " << bad;
    } catch (const RecordFormatError& e) {
      EXPECT_EQ(e.code(), StationRefusal::kDamagedRecord) << bad;
      // Said in the station's words, not the parser's English.
      EXPECT_EQ(std::string(e.what()).find("json"), std::string::npos) << e.what();
    }
}

TEST(IsoTime, ReadsWhatItWritesAndRejectsTheRest) {
  setenv("TZ", "Europe/Madrid", 1);
  tzset();
  const WallTime t = At("2026-07-01T08:00:00.250Z");
  EXPECT_EQ(FormatIsoLocal(t), "2026-07-01T10:00:00.250+02:00");
  EXPECT_EQ(FormatIsoLocal(At("2026-12-07T10:00:00Z")), "2026-12-07T11:00:00.000+01:00");
  EXPECT_EQ(*ParseIso("2026-07-01T10:00:00.250+02:00"), t);
  EXPECT_EQ(*ParseIso("2026-07-01T05:30:00.250-02:30"), t);
  for (const char* bad :
       {"2026-07-01", "2026-07-01T10:00:00", "2026-13-01T10:00:00Z", "2026-07-01T10:00:00+0200",
        "2026-07-01T10:00:00.2Z", "2026-07-01T10:00:00Zjunk", "x026-07-01T10:00:00Z",
        // Years before any call of ours, or past what the time type holds (2262-04-11).
        "0000-01-01T00:00:00Z", "1969-12-31T23:59:59Z", "2262-04-12T00:00:00Z",
        "9999-12-31T23:59:59.999+14:00"})
    EXPECT_FALSE(ParseIso(bad)) << bad;
  EXPECT_EQ(ParseIso("1970-01-01T00:00:00Z")->time_since_epoch().count(), 0);
  EXPECT_TRUE(ParseIso("2262-04-10T23:59:59.999Z"));
  unsetenv("TZ");
  tzset();
}

TEST(CallLogScan, CorruptLinesAreReportedByNumberAndSkipped) {
  ScratchDir dir;
  const std::string path = dir.Path() + kCallLogName;
  const std::string good = RecordToJson(FullRecord());
  const std::string cut = good.substr(0, good.size() / 2);
  // 1 good, 2 cut short by a full disk with the next record glued to it, 3 empty, 4 garbage,
  // 5 valid JSON but no record, 6 good, 7 cut at the end of the file.
  WriteAll(path, good + "\n" + cut + good + "\n\n\x01\xFFzz\n{\"a\":1}\n" + good + "\n" + cut);
  std::vector<uint64_t> records;
  std::vector<std::pair<uint64_t, std::string>> bad;
  ScanCallLog(
      path,
      [&](const CallSummary& c) {
        records.push_back(c.line_number);
        EXPECT_EQ(c.office, 7);
        EXPECT_EQ(c.result, CallResult::kAborted);
        EXPECT_EQ(c.reason, CallReason::kTransferFailed);
        EXPECT_TRUE(c.traffic_filed);
        EXPECT_TRUE(c.identified);
        EXPECT_EQ(c.start_text.substr(0, 10), "2026-12-07");
      },
      [&](uint64_t n, std::string_view why) { bad.emplace_back(n, std::string(why)); });
  EXPECT_EQ(records, (std::vector<uint64_t>{1, 6}));
  ASSERT_EQ(bad.size(), 4u);
  EXPECT_EQ(bad[0].first, 2u);
  EXPECT_EQ(bad[1].first, 4u);
  EXPECT_EQ(bad[2], (std::pair<uint64_t, std::string>{5, "no es un registro de llamada"}));
  EXPECT_EQ(bad[3].first, 7u);
}

// The reader checks the whole line, also the fields the report never reads, so that the report,
// the status page and the per-office listing (which reads records whole) take the same lines
// for damaged, whichever JSON library reads them. Each case is a good record with one change;
// the JSON verdicts agree with nlohmann-json's, the writer's library.
TEST(RecordReader, ChecksTheWholeLine) {
  CallRecord admitted = FullRecord();
  admitted.admitted = true;
  const std::string good = RecordToJson(admitted);
  const auto with = [&](std::string_view from, std::string_view to) {
    std::string line = good;
    const size_t at = line.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? line : line.replace(at, from.size(), to);
  };
  const char* const kJson = "JSON no válido";
  const char* const kNoRecord = "no es un registro de llamada";
  const std::string id = R"("device_id":"KEY00042")";
  const struct {
    std::string line;
    const char* why;  // nullptr: read
  } cases[] = {
      {good, nullptr},
      {" \t" + good + "\r", nullptr},                   // blanks, and a line end written on Windows
      {with(id, R"("device_id":"KEY\q0042")"), kJson},  // an escape that is none
      {with(id, "\"device_id\":\"KEY\x01\""), kJson},   // a control byte in a string
      {with(id, "\"device_id\":\"KEY\xC3(\""), kJson},  // not UTF-8
      {with(id, R"("device_id":tru)"), kJson},
      {with(id, R"("device_id":1.2.3)"), kJson},
      {with(id, R"("device_id":-)"), kJson},
      {with(id, R"("device_id":[1,2})"), kJson},
      {with(id, R"("device_id":[1,2,])"), kJson},
      {with(id, R"("device_id":{"a":1 "b":2})"), kJson},
      {with(id, R"("device_id" "KEY00042")"), kJson},
      {good + " {}", kJson},  // two values on one line
      {good + "x", kJson},
      {good.substr(0, good.size() - 1), kJson},
      {"[1,2]", kNoRecord},
      {with(R"("result":"aborted")", R"("resultado":"aborted")"), kNoRecord},
      {with(R"("result":"aborted")", R"("result":"maybe")"), kNoRecord},
      {with(R"("result":"aborted")", R"("result":3)"), kNoRecord},
      {with(R"("start":"2026-)", R"("start":"ayer","x":"2026-)"), kNoRecord},
  };
  RecordReader reader(true);
  for (const auto& c : cases) {
    // The reader may look past the line's end: the padding it asks for, holding anything.
    std::string padded = c.line + std::string(RecordReader::kPadding, '}');
    CallSummary summary;
    const char* why = reader.Read(padded.data(), c.line.size(), summary);
    EXPECT_STREQ(why, c.why) << c.line;
    EXPECT_EQ(nlohmann::json::accept(c.line), c.why != kJson) << c.line;
    if (why == nullptr) {
      EXPECT_EQ(summary.office, 7) << c.line;
      EXPECT_EQ(summary.result, CallResult::kAborted);
      ASSERT_NE(summary.holdings, nullptr);
      EXPECT_EQ(summary.holdings->table_kind, "tab");
    }
  }
}

TEST(CallLogScan, OverlongLineIsSkippedWithoutHoldingIt) {
  ScratchDir dir;
  const std::string path = dir.Path() + kCallLogName;
  const std::string good = RecordToJson(FullRecord());
  WriteAll(path, good + "\n" + std::string(9 << 20, 'x') + "\n" + good + "\n");
  int records = 0;
  std::vector<uint64_t> bad;
  ScanCallLog(
      path, [&](const CallSummary&) { ++records; },
      [&](uint64_t n, std::string_view) { bad.push_back(n); });
  EXPECT_EQ(records, 2);
  EXPECT_EQ(bad, std::vector<uint64_t>{2});
}

TEST(CallLogAppend, StationsAppendingTogetherNeverInterleave) {
  ScratchDir dir;
  const std::string path = dir.Path() + kCallLogName;
  constexpr int kWriters = 4, kEach = 200;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      CallRecord r = FullRecord();
      r.office = w + 1;
      for (int i = 0; i < kEach; ++i) AppendCallRecord(path, r);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
  }
  std::vector<int> per_office(kWriters + 1);
  ScanCallLog(
      path, [&](const CallSummary& c) { ++per_office[c.office]; },
      [&](uint64_t n, std::string_view why) { ADD_FAILURE() << n << ": " << why; });
  for (int w = 1; w <= kWriters; ++w) EXPECT_EQ(per_office[w], kEach);
}

// A power loss cut the last record short: the next one still goes in whole. A full disk (the
// file size limit stands in for it) ten bytes into a record leaves nothing of it behind.
TEST(CallLogAppend, TornLastLineIsClosedAndARecordGoesInWholeOrNotAtAll) {
  ScratchDir dir;
  const std::string path = dir.Path() + kCallLogName, good = RecordToJson(FullRecord());
  WriteAll(path, good + "\n" + good.substr(0, 50));
  AppendCallRecord(path, FullRecord());
  std::vector<uint64_t> records;
  ScanCallLog(
      path, [&](const CallSummary& c) { records.push_back(c.line_number); },
      [](uint64_t, std::string_view) {});
  EXPECT_EQ(records, (std::vector<uint64_t>{1, 3}));
  const std::string before = ReadAll(path);
  if (fork() == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{before.size() + 10, before.size() + 10};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      AppendCallRecord(path, FullRecord());
    } catch (const CallLogError& e) {
      _exit(e.code() == std::errc::no_space_on_device ? 0 : 2);
    }
    _exit(1);
  }
  int status = 0;
  ::wait(&status);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 1) << "the cut write was not reported";
  EXPECT_NE(WEXITSTATUS(status), 2) << "the cut write was not told as a full disk";
  EXPECT_EQ(ReadAll(path), before);
}

// A link would aim the station's writes anywhere, a FIFO would hold it at the end of every call
// (the report too): both are refused at once, as is a directory.
TEST(CallLogAppend, LogThatIsNoRegularFileIsRefusedAtOnce) {
  ScratchDir dir;
  const std::string path = dir.Path() + kCallLogName, elsewhere = dir.Path() + "elsewhere";
  WriteAll(elsewhere, "not the log");
  // The station's refusal of what is no file, the system's error for a directory: a caller
  // tells them apart by the code.
  const std::error_code no_file = StationRefusal::kNotRegularFile;
  const auto refused = [&](const char* what, std::error_code code) {
    SCOPED_TRACE(what);
    try {
      AppendCallRecord(path, FullRecord());
      ADD_FAILURE() << "appended";
    } catch (const CallLogError& e) {
      EXPECT_EQ(e.code(), code) << e.what();
    }
    if (std::string_view(what).starts_with("FIFO")) {
      EXPECT_THROW(ScanCallLog(path, {}, {}), CallLogError);
    }
    std::filesystem::remove(path);
  };
  std::filesystem::create_symlink(elsewhere, path);
  refused("link", no_file);
  std::filesystem::create_directory(path);
  refused("directory", std::make_error_code(std::errc::is_a_directory));
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  refused("FIFO with a reader", no_file);
  ::close(reader);
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  refused("FIFO without one", no_file);
  EXPECT_EQ(ReadAll(elsewhere), "not the log");
}

TEST(CallLogAppend, UnwritableLogIsAnErrorNamingIt) {
  ScratchDir dir;
  const std::string path = dir.Path() + "missing/" + kCallLogName;
  try {
    AppendCallRecord(path, CallRecord{});
    FAIL();
  } catch (const CallLogError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
  }
  ScanCallLog(
      path, [](const CallSummary&) { FAIL(); }, [](uint64_t, std::string_view) { FAIL(); });
}

}  // namespace
}  // namespace marvolen

namespace marvolen {
namespace {

// The live state of a line survives the file whole, and whatever else lies in "lines/" (a
// link, a FIFO, a temporary file, a damaged file) neither hangs nor fools the reader.
TEST(LineStatusFile, WrittenWholeAndReadBackWhateverElseLiesBeside) {
  ScratchDir dir;
  LineStatus s;
  s.line = "com2";
  s.device = "/dev/tty\xff";  // a byte that is not UTF-8 must not make the write throw
  s.state = kLineInCall;
  s.office = 7;
  s.step = "recibiendo tráfico";
  s.bytes_sent = 1234;
  s.bytes_received = 5'000'000'000;
  s.since = At("2026-12-07T11:49:47+01:00");
  s.heartbeat = At("2026-12-07T11:50:47+01:00");
  s.pid = 4242;
  WriteLineStatus(dir.Path(), s);
  LineStatus down = s;
  down.line = "com1";
  down.state = kLineDown;
  down.reason = "No such file or directory";
  // Live state is replaced whole but never waits for the disk: an idle line writes it every
  // minute, and each flush would put the station to sleep.
  static int syncs = 0;
  FileOps counting = SystemFileOps();
  counting.fsync = [](int fd) { return ++syncs, ::fsync(fd); };
  WriteLineStatus(dir.Path(), down, counting);
  EXPECT_EQ(syncs, 0);
  WriteAll(dir.Path() + "lines/broken.json", "{\"line\":");
  WriteAll(dir.Path() + "lines/odd.json", ReadAll(dir.Path() + "lines/com1.json") + "x");
  WriteAll(dir.Path() + "lines/.com3.json.1.2.tmp", "half");
  ::mkfifo((dir.Path() + "lines/fifo.json").c_str(), 0644);
  ::symlink("/etc/passwd", (dir.Path() + "lines/link.json").c_str());

  const std::vector<LineStatusFile> files = ReadLineStatuses(dir.Path());
  ASSERT_EQ(files.size(), 6u);
  EXPECT_EQ(files[0].name, "broken");
  // The parser's own English never reaches the page.
  EXPECT_EQ(files[0].error, "no es un estado de línea: JSON no válido");
  s.device = down.device = "/dev/tty\xEF\xBF\xBD";
  EXPECT_EQ(files[1].status, down);
  EXPECT_EQ(files[2].status, s);
  for (size_t i : {3u, 4u, 5u}) {
    EXPECT_FALSE(files[i].status) << files[i].name;
    EXPECT_NE(files[i].error, "") << files[i].name;
  }
  // The station's refusals and the system's failure to read are told apart by their code.
  EXPECT_EQ(files[0].code, StationRefusal::kDamagedLineStatus);
  EXPECT_EQ(files[3].code, StationRefusal::kNotRegularFile);
  EXPECT_EQ(files[4].code, std::errc::too_many_symbolic_link_levels);
  EXPECT_EQ(files[5].code, StationRefusal::kDamagedLineStatus);
  EXPECT_THROW(LineStatusFromJson(R"({"line":"x","device":"","state":"asleep","reason":"",
      "office":0,"step":"","bytes_sent":0,"bytes_received":0,"since":"2026-12-07T11:49:47Z",
      "heartbeat":"2026-12-07T11:49:47Z","pid":1})"),
               LineStatusError);
  // A name from a setting never leaves "lines/".
  s.line = "../estado";
  EXPECT_THROW(WriteLineStatus(dir.Path(), s), FileError);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "estado.json"));
}

// "lines" a link, as whoever can write the working directory may make it: refused like
// "calls", and nothing in the link's target is written, locked or cleaned up.
TEST(LineStatusFile, ALinesDirectoryThatIsALinkIsRefused) {
  ScratchDir work, target;
  const std::string litter = ".com1.json.99999999.0.tmp";  // of a process long gone
  std::filesystem::create_directory(target.Path() + litter);
  ASSERT_EQ(::symlink(target.Path().c_str(), (work.Path() + "lines").c_str()), 0);
  LineStatus s;
  s.line = "com1";
  try {
    WriteLineStatus(work.Path(), s);
    ADD_FAILURE() << "written through a link";
  } catch (const FileError& e) {
    EXPECT_TRUE(IsLink(e.code())) << e.what();
  }
  EXPECT_THROW(MakeLinesDir(work.Path()), FileError);  // where the line's lock goes too
  EXPECT_TRUE(ReadLineStatuses(work.Path()).empty());
  EXPECT_TRUE(std::filesystem::exists(target.Path() + litter));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(target.Path()), {}), 1);
}

TEST(LineStatusFile, AStaleHeartbeatIsALineDownUnlessItSaidGoodbye) {
  LineStatus s;
  s.state = kLineWaiting;
  s.heartbeat = At("2026-12-07T12:00:00Z");
  EXPECT_TRUE(LineIsUp(s, s.heartbeat + kLineStaleAfter));
  EXPECT_FALSE(LineIsUp(s, s.heartbeat + kLineStaleAfter + std::chrono::seconds(1)));
  EXPECT_TRUE(LineIsStale(s, s.heartbeat + kLineStaleAfter + std::chrono::seconds(1)));
  s.state = kLineStopped;
  EXPECT_FALSE(LineIsStale(s, s.heartbeat + std::chrono::hours(100)));
  EXPECT_FALSE(LineIsUp(s, s.heartbeat));
  s.state = kLineDown;
  EXPECT_FALSE(LineIsUp(s, s.heartbeat));
}

// The store hands back, as typed fields, what an admitted office said it holds, and only for
// admitted calls; the latest admitted call is found past a newer refusal and a rotation.
TEST(CallStore, HoldingsAndTheLatestAdmittedCallComeBackAsValues) {
  ScratchDir dir;
  JsonLinesCallStore store(dir.Path());
  CallRecord admitted = FullRecord();
  admitted.admitted = true;
  admitted.result = CallResult::kSuccess;
  admitted.reason = CallReason::kNone;
  TransferSummary sent;
  sent.direction = TransferDirection::kSend;
  sent.result = "Transferencia OK";
  admitted.transfers.push_back(sent);
  CallRecord refused = FullRecord();
  refused.start += std::chrono::hours(1);
  refused.result = CallResult::kRefused;
  refused.admitted = false;
  refused.office_files = std::vector<ReportedFile>{{"OTRA.TAB", 1, ".TAB"}};
  store.Append(admitted);
  std::filesystem::rename(dir.Path() + kCallLogName, dir.Path() + kCallLogName + ".1");
  store.Append(refused);

  std::vector<std::optional<OfficeHoldings>> seen;
  CallFilter filter;
  filter.office = 7;
  filter.holdings = true;
  store.Scan(
      filter,
      [&](const CallSummary& c) {
        seen.push_back(c.holdings ? std::optional(*c.holdings) : std::nullopt);
      },
      [](const BadLine& b) { ADD_FAILURE() << b.file << b.why; });
  ASSERT_EQ(seen.size(), 2u);
  ASSERT_TRUE(seen[0]);
  const OfficeHoldings want = HoldingsOf(admitted);
  EXPECT_EQ(seen[0]->start_ms, want.start_ms);
  EXPECT_EQ(seen[0]->table_kind, "tab");
  EXPECT_TRUE(seen[0]->features);
  EXPECT_TRUE(seen[0]->delivered);
  EXPECT_EQ(seen[0]->deleted, "tablas\\VIEJA.TAB");
  ASSERT_EQ(seen[0]->files.size(), 2u);
  EXPECT_EQ(seen[0]->files[1].name, "Ñandú.tab");
  EXPECT_EQ(seen[0]->files[1].value, -5);
  ASSERT_EQ(seen[0]->sent.size(), 2u);
  EXPECT_EQ(seen[0]->sent[1].kind, "upgrade");
  EXPECT_FALSE(seen[1]) << "a refused caller's list is anyone's";

  const auto latest = store.LatestAdmitted(7);
  ASSERT_TRUE(latest);
  EXPECT_EQ(latest->start, admitted.start);
  EXPECT_FALSE(store.LatestAdmitted(8));
}

// What came after a mark, and nothing else: a record still without its line end waits for
// it, one rotation is followed, a second one sends the caller back to a whole scan.
TEST(CallStore, ScanSinceReadsWhatCameAfterTheMarkAcrossOneRotation) {
  ScratchDir dir;
  const std::string log = dir.Path() + kCallLogName;
  JsonLinesCallStore store(dir.Path());
  CallRecord r = FullRecord();
  int bad = 0;
  std::vector<int> offices;
  const auto since = [&](const StoreMark& mark) {
    return store.ScanSince(
        mark, store.End(), {}, [&](const CallSummary& c) { offices.push_back(c.office); },
        [&](const BadLine&) { ++bad; });
  };
  EXPECT_EQ(since({}), StoreMark{});
  r.office = 1;
  store.Append(r);
  const StoreMark first = store.End();
  r.office = 2;
  store.Append(r);
  r.office = 3;
  store.Append(r);
  auto mark = since(first);
  EXPECT_EQ(offices, (std::vector<int>{2, 3}));
  ASSERT_TRUE(mark);
  EXPECT_EQ(*mark, store.End());

  // Half a record, as a power loss leaves it or as another station's write is seen mid-way.
  { std::ofstream(log, std::ios::app) << RecordToJson(r).substr(0, 40); }
  offices.clear();
  const auto held = since(*mark);
  ASSERT_TRUE(held);
  EXPECT_EQ(*held, *mark);
  EXPECT_EQ(bad, 0);
  r.office = 4;
  store.Append(r);  // closes the piece: it is one damaged line, as a whole scan sees it
  mark = since(*held);
  EXPECT_EQ(offices, std::vector<int>{4});
  EXPECT_EQ(bad, 1);

  r.office = 5;
  store.Append(r);
  std::filesystem::rename(log, log + ".1");
  r.office = 6;
  store.Append(r);
  offices.clear();
  mark = since(*mark);
  EXPECT_EQ(offices, (std::vector<int>{5, 6}));
  ASSERT_TRUE(mark);
  EXPECT_EQ(*mark, store.End());

  for (const char* older : {".2", ".3"}) {
    std::filesystem::rename(log + ".1", log + older);
    std::filesystem::rename(log, log + ".1");
    store.Append(r);
  }
  EXPECT_FALSE(since(*mark));
}

}  // namespace
}  // namespace marvolen
