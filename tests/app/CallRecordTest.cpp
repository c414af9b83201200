// The record each call leaves, for every way a call ends, driven through the real controller
// and script on the virtual clock.
#include <gtest/gtest.h>

#include <fstream>

#include "CallHarness.h"
#include "call/LineTokens.h"
#include "callrec/CallLog.h"
#include "platform/DosTime.h"
#include "platform/LocalTime.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;

std::vector<CallRecord> Records(const CallHarness& h) {
  std::vector<CallRecord> out;
  std::ifstream in(h.own_home.path() / kCallLogName);
  for (std::string line; std::getline(in, line);) out.push_back(RecordFromJson(line));
  return out;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A recorded station and an office that echoes each command and acknowledges it.
class RecordTest : public ::testing::Test {
 protected:
  RecordTest() : office_(h_.own_home.path() / "loc07") {
    fs::create_directories(office_);
    h_.RecordCalls();
  }

  void Admit(const std::string& flags = "N") {
    played_.Admit(flags);
    ASSERT_EQ(h_.state.LineState, "conectado");
  }
  void RunCall() { played_.RunCall(5000); }
  CallRecord OnlyRecord() {
    const std::vector<CallRecord> records = Records(h_);
    EXPECT_EQ(records.size(), 1u);
    EXPECT_EQ(h_.records, 1);
    return records.empty() ? CallRecord{} : records.front();
  }

  CallHarness h_;
  fs::path office_;
  PlayedOffice played_{h_, office_, true, {}, 0};
  bool& acknowledge_ = played_.acknowledge;
};

TEST_F(RecordTest, WholeCallRecordsWhatWentEachWay) {
  std::ofstream(h_.own_home.path() / "envio.zip") << "PK-archive";
  Admit("S");
  h_.state.Office.DeleteList = "tablas\\VIEJA.TBL";
  h_.state.Office.SyncClock = 1;
  h_.state.Office.DayFirst = h_.state.Office.DayLast = DateSerial(2026, 12, 1);
  int receives = 0;
  h_.line.on_receive = [&](const std::filesystem::path& dir) {
    // First the traffic, then the day file; each into the office directory.
    if (++receives == 1) {
      std::ofstream(dir / "trafico.TRF") << "traffic";
    } else {
      std::ofstream(dir / "01122026.daw") << "day-file";
    }
  };
  RunCall();

  const CallRecord r = OnlyRecord();
  EXPECT_EQ(r.result, CallResult::kSuccess);
  EXPECT_EQ(r.reason, CallReason::kNone);
  EXPECT_EQ(r.port, 2);
  EXPECT_EQ(r.device, "tcp-modem:1");
  EXPECT_EQ(r.deleted, "tablas\\VIEJA.TBL");
  ASSERT_EQ(r.traffic.size(), 1u);
  EXPECT_EQ(r.traffic[0].bytes, 7u);
  EXPECT_TRUE(fs::exists(office_ / r.traffic[0].name)) << r.traffic[0].name;
  EXPECT_EQ(r.day_files_asked, (std::vector<std::string>{"01122026.daw"}));
  ASSERT_EQ(r.day_files_received.size(), 1u);
  EXPECT_EQ(r.day_files_received[0].name, "01122026.daw");
  EXPECT_EQ(r.day_files_received[0].bytes, 8u);
  ASSERT_TRUE(r.clock_set.has_value());
  EXPECT_GT(*r.clock_set, r.start);
  ASSERT_EQ(r.transfers.size(), 3u);
  EXPECT_EQ(r.transfers[0].direction, TransferDirection::kSend);
  EXPECT_EQ(r.transfers[0].bytes, 10u);
  EXPECT_EQ(r.transfers[1].direction, TransferDirection::kReceive);
  EXPECT_EQ(r.transfers[1].result, "Transferencia OK");
  EXPECT_GT(r.end, r.start);

  // The transcript holds the office's lines and the transfers; the log view one end line.
  const std::string transcript = ReadFile(h_.own_home.path() / r.transcript);
  EXPECT_NE(transcript.find("< DEL tablas\\\\VIEJA.TBL\n"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("# recepci"), std::string::npos) << transcript;
  EXPECT_EQ(h_.window.Count(CallEndLine(r)), 1);
  EXPECT_EQ(CallEndLine(r).rfind("Fin de llamada: exitosa, ", 0), 0u);
}

// Traffic sent again after a call filed it is recorded under the name it was filed as, marked
// as filed already, and survives the trip through the log.
TEST_F(RecordTest, TrafficSentAgainIsRecordedAsAlreadyFiled) {
  h_.line.on_receive = [](const fs::path& dir) { std::ofstream(dir / "trafico.TRF") << "traffic"; };
  for (int call = 0; call < 2; ++call) {
    h_.state.LineState.clear();
    h_.line.carrier = false;
    Admit("S");
    RunCall();
  }
  const std::vector<CallRecord> records = Records(h_);
  ASSERT_EQ(records.size(), 2u);
  ASSERT_EQ(records[0].traffic.size(), 1u);
  ASSERT_EQ(records[1].traffic.size(), 1u);
  EXPECT_FALSE(records[0].traffic[0].already_filed);
  EXPECT_TRUE(records[1].traffic[0].already_filed);
  EXPECT_EQ(records[1].traffic[0].name, records[0].traffic[0].name);
  EXPECT_EQ(records[1].traffic[0].bytes, 7u);
}

// How a failed transfer ended decides the call's reason; the record keeps the error behind
// it and what had moved, and a call the station cut itself says so in the log view and the
// activity log. Each transfer is given the call's bounds.
TEST_F(RecordTest, FailedTransferIsAnAbortForWhyItEndedWithItsError) {
  const std::vector<std::tuple<TransferEnd, CallReason, std::string>> rows = {
      {TransferEnd::kFailed, CallReason::kTransferFailed, ""},
      {TransferEnd::kCarrierLost, CallReason::kCarrierLost, ""},
      {TransferEnd::kTooLarge, CallReason::kArchiveTooLarge,
       "Llamada cortada: archivo recibido de más de 64 MiB"},
      {TransferEnd::kOutOfTime, CallReason::kCallTooLong,
       "Llamada cortada: dura más de 30 min, lo permitido con 0 bytes movidos"},
      {TransferEnd::kNoProgress, CallReason::kNoProgress, "Llamada cortada: sin avance en 5 min"},
      {TransferEnd::kStopped, CallReason::kStopped, "Llamada cortada: la estación se detiene"},
  };
  std::ofstream(h_.own_home.path() / "envio.zip") << "zip";
  for (const auto& [end, reason, cut_line] : rows) {
    SCOPED_TRACE(cut_line);
    fs::remove(h_.own_home.path() / kCallLogName);
    h_.records = 0;
    h_.log.clear();
    h_.state.LineState.clear();
    Admit();
    h_.line.send_result = "Tranferencia abortada";
    h_.line.failed = {"", end, "bloque 3 sin respuesta", 2048};
    RunCall();
    const CallRecord r = OnlyRecord();
    EXPECT_EQ(r.reason, reason);
    EXPECT_EQ(r.detail, "bloque 3 sin respuesta");
    ASSERT_EQ(r.transfers.size(), 1u);
    EXPECT_EQ(r.transfers[0].bytes, 2048u);
    std::string cut;
    for (const std::string& line : h_.log) cut += line.starts_with("Llamada cortada") ? line : "";
    EXPECT_EQ(cut, cut_line);
  }
  EXPECT_EQ(h_.line.bounds.max_bytes, 64u << 20);
  EXPECT_EQ(h_.line.bounds.progress, &h_.state.Progress);
  h_.stop_requested = true;
  EXPECT_TRUE(h_.line.bounds.stop.Requested());
}

TEST_F(RecordTest, OfficeThatStopsAnsweringIsAStall) {
  Admit();
  acknowledge_ = false;
  RunCall();
  const CallRecord r = OnlyRecord();
  EXPECT_EQ(r.result, CallResult::kAborted);
  EXPECT_EQ(r.reason, CallReason::kStall);
}

TEST_F(RecordTest, CarrierLostInTheScriptIsAnAbort) {
  Admit();
  h_.line.carrier = false;
  RunCall();
  const CallRecord r = OnlyRecord();
  EXPECT_EQ(r.result, CallResult::kAborted);
  EXPECT_EQ(r.reason, CallReason::kCarrierLost);
}

// A stop (the service's SIGTERM) in any state ends the call in progress with its record, at
// once, and leaves the line hung up: the modem is not readied for another call. The request
// is met by the host's stop (Stop) or by the next tick.
TEST(CallRecord, AStopEndsTheCallInEveryStateWithItsRecord) {
  const std::vector<std::pair<std::string, std::function<void(CallHarness&)>>> rows = {
      {"waiting", [](CallHarness& h) { h.Tick(); }},
      {"greeting", [](CallHarness& h) { h.Connect(); }},
      {"in the script",
       [](CallHarness& h) {
         h.Connect();
         h.line.Arrive("Ident=00007N\r");
         h.Tick();
       }},
  };
  for (const auto& [name, play] : rows) {
    for (const bool by_tick : {false, true}) {
      SCOPED_TRACE(name + (by_tick ? ", by tick" : ", by the host"));
      CallHarness h;
      h.RecordCalls();
      play(h);
      const auto opens = h.line.opens;
      h.stop_requested = true;
      by_tick ? h.Tick() : h.controller.Stop();
      h.Ticks(3);  // nothing more happens, whatever the host still runs
      const std::vector<CallRecord> records = Records(h);
      ASSERT_EQ(records.size(), name == "waiting" ? 0u : 1u);
      for (const CallRecord& r : records) EXPECT_EQ(r.reason, CallReason::kStopped);
      EXPECT_EQ(h.Logged("Llamada cortada: la estación se detiene"),
                static_cast<int>(records.size()));
      EXPECT_FALSE(h.line.open);
      EXPECT_EQ(h.state.LineState, "");
      EXPECT_EQ(h.line.opens, opens);
      EXPECT_EQ(h.line.modem_commands.size(), 3u);
    }
  }
}

// An office that keeps the line busy without ever letting the script end (here a line every
// tick, which never lets the stall budget run out) moves nothing: it is cut by whichever bound
// comes first, the base allowance of a call that moved no byte or the idle bound counted from
// its identification or the last reply the script took, and the line is readied for the next
// call.
TEST(CallRecord, ACallThatMovesNothingIsCutByItsFirstBound) {
  struct Row {
    long long call_minutes, idle_minutes;
    int ack_at;  // the office acknowledges the command then (seconds); 0: never
    CallReason reason;
    std::string cut;
    double seconds;  // from the carrier to the cut
  };
  const std::vector<Row> rows = {
      {1, 5, 0, CallReason::kCallTooLong,
       "Llamada cortada: dura más de 1 min, lo permitido con 0 bytes movidos", 60},
      {30, 2, 0, CallReason::kNoProgress, "Llamada cortada: sin avance en 2 min", 120},
      {30, 2, 100, CallReason::kNoProgress, "Llamada cortada: sin avance en 2 min", 220},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cut);
    CallLimits limits;
    limits.max_call_time = std::chrono::minutes(row.call_minutes);
    limits.max_idle_time = std::chrono::minutes(row.idle_minutes);
    CallHarness h({}, limits);
    h.RecordCalls();
    h.Connect();
    h.line.Arrive("Ident=00007N\r");
    h.Tick();
    // A command is out; the office answers with chatter only (but for its acknowledgement).
    h.state.ScriptStep = script::AwaitingAck(script::kSuccess);
    bool acknowledged = false;
    for (int i = 0; i < 1000 && h.state.LineState == "conectado"; ++i) {
      const bool ack = row.ack_at && !acknowledged &&
                       h.clock.Now() - h.state.CallStartTime >= std::chrono::seconds(row.ack_at);
      h.line.Arrive(ack ? std::string(AckToken) + "\r" : "ocupado\r");
      acknowledged = acknowledged || ack;
      h.Tick();
    }
    const std::vector<CallRecord> records = Records(h);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, row.reason);
    EXPECT_EQ(h.Logged(row.cut), 1);
    EXPECT_EQ(h.window.Count(row.cut), 1);
    EXPECT_NEAR(std::chrono::duration<double>(records[0].end - records[0].start).count(),
                row.seconds, 2);
    EXPECT_EQ(h.state.LineState, "esperando");  // ready for the next call
  }
}

TEST(CallRecord, EachKindOfEndBeforeAdmissionHasItsResult) {
  struct Case {
    const char* name;
    std::function<void(CallHarness&)> play;
    CallResult result;
    CallReason reason;
  };
  const std::vector<Case> cases{
      {"silent caller", [](CallHarness& h) { h.Ticks(10'000); }, CallResult::kNeverIdentified,
       CallReason::kNone},
      {"stray lines",
       [](CallHarness& h) {
         h.line.Arrive("1\r2\r3\r4\r5\r6\r7\r8\r9\r10\r11\r");
         h.Tick();
       },
       CallResult::kRefused, CallReason::kTooManyStrayLines},
      {"refused",
       [](CallHarness& h) {
         h.admit_result = false;
         h.refusal = CallReason::kDeviceMismatch;
         h.line.Arrive("Ident=00007\r");
         h.Tick();
       },
       CallResult::kRefused, CallReason::kDeviceMismatch},
  };
  for (const Case& c : cases) {
    CallHarness h;
    h.RecordCalls();
    h.Connect();
    while (h.line.opens == 1 && h.clock.ElapsedSinceStart() < 200'000) c.play(h);
    const std::vector<CallRecord> records = Records(h);
    ASSERT_EQ(records.size(), 1u) << c.name;
    EXPECT_EQ(records[0].result, c.result) << c.name;
    EXPECT_EQ(records[0].reason, c.reason) << c.name;
    EXPECT_EQ(h.state.LineState, "esperando") << c.name;
  }
}

TEST(CallRecord, ProgramErrorClosesTheOpenCallOnceAndNoCallIsRecordedTwice) {
  CallHarness h;
  h.RecordCalls();
  h.Connect();
  h.controller.EndRecord(CallResult::kAborted, CallReason::kProgramError, "disco lleno");
  // The line reset after the error ends no second record.
  h.state.LineState.clear();
  h.Ticks(5);
  const std::vector<CallRecord> records = Records(h);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].reason, CallReason::kProgramError);
  EXPECT_EQ(records[0].detail, "disco lleno");
  EXPECT_EQ(h.window.Count("Fin de llamada: abortada (error de programa), 0 s"), 1);

  // The next call is a record of its own.
  h.line.carrier = true;
  h.Tick();
  h.line.Arrive("Ident=00007\r");
  h.Tick();
  h.line.carrier = false;
  h.Ticks(3);
  EXPECT_EQ(Records(h).size(), 2u);
  EXPECT_EQ(h.records, 2);
}

}  // namespace
}  // namespace marvolen::testing
