#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <random>
#include <tuple>

#include "call/LineTokens.h"
#include "callrec/CallLog.h"
#include "callrec/CallRecorder.h"
#include "callrec/TranscriptAgeing.h"
#include "tests/call/IdentBuilder.h"
#include "tests/callrec/Scratch.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;
using test::IdentBuilder;
using test::ReadAll;
using test::ScratchDir;

class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() : recorder_({dir_.Path(), "/home/com1/", 1, "/dev/ttyS0"}, clock_) {}

  std::vector<CallRecord> Logged() {
    std::vector<CallRecord> out;
    JsonLinesCallStore(dir_.Path())
        .ScanNewestFirst(
            {}, [](const BadLine& b) { ADD_FAILURE() << b.number << b.why; }, [](uint64_t) {},
            [&](const CallRecord& r) { out.insert(out.begin(), r); });
    return out;
  }

  // Office 7 with password GALERNA, reporting two tables.
  std::string Ident() const {
    IdentBuilder b;
    b.File("TARIFA.TBL", 4321).File("VIEJA.TBL", 10);
    return b.Line();
  }

  ScratchDir dir_;
  VirtualClock clock_;
  CallRecorder recorder_;
};

TEST_F(RecorderTest, SuccessfulCallRecordsEverythingAndWritesItsTranscript) {
  recorder_.CallStarted();
  recorder_.LineSent(std::string(GreetingToken) + "\r");
  clock_.Advance(Millis(1500));
  recorder_.LineReceived(Ident());
  recorder_.Identified(Ident(), TableKind::Tbl());
  recorder_.Admitted();
  // The station's own line with a name the office reported.
  recorder_.Note(
      "Tablas: TARIFA.TBL VI\x1B]0;x\x07"
      "EJA.TBL");
  recorder_.FileSent("ZONAS.TBL", "table", 777);
  recorder_.Deleted("tablas\\VIEJA.TBL");
  recorder_.TransferStarted(TransferDirection::kSend, "envio.zip");
  recorder_.TransferBlock({1, 1024, true, "sin respuesta válida"});
  recorder_.TransferBlock({1, 1024, true, "ACK"});
  recorder_.TransferBlock({2, 128, true, "ACK"});
  clock_.Advance(Millis(2000));
  recorder_.TransferEnded(1100, "Transferencia Ok \x1B");
  recorder_.TrafficFiled("07122026100004.trf", 2048);
  recorder_.DayFilesAsked({"06122026.daw"});
  recorder_.DayFileReceived("06122026.daw", 300);
  recorder_.ClockSet(clock_.WallNow());
  recorder_.LineSent(std::string(MessageToken) + "Comunicación exitosa\r");
  EXPECT_EQ(recorder_.Ended(CallResult::kSuccess), "");
  EXPECT_FALSE(recorder_.InCall());

  const auto logged = Logged();
  ASSERT_EQ(logged.size(), 1u);
  const CallRecord& r = logged[0];
  EXPECT_EQ(r.result, CallResult::kSuccess);
  EXPECT_EQ(r.reason, CallReason::kNone);
  EXPECT_TRUE(r.admitted);
  EXPECT_EQ(r.line_name, "com1");  // no name given: the port's
  EXPECT_EQ(r.office, 7);
  EXPECT_EQ(r.device_id, "KEY00042");
  EXPECT_EQ(r.table_kind, "tbl");
  EXPECT_TRUE(r.features);
  EXPECT_EQ(r.port, 1);
  EXPECT_EQ(r.device, "/dev/ttyS0");
  EXPECT_EQ(r.end - r.start, Millis(3500));
  ASSERT_TRUE(r.office_files);
  ASSERT_EQ(r.office_files->size(), 2u);
  EXPECT_EQ((*r.office_files)[0].name, "TARIFA.TBL");
  EXPECT_EQ((*r.office_files)[0].value, 4321);
  EXPECT_EQ(r.deleted, "tablas\\VIEJA.TBL");
  ASSERT_EQ(r.transfers.size(), 1u);
  EXPECT_EQ(r.transfers[0].blocks, 2);
  EXPECT_EQ(r.transfers[0].resends, 1);
  EXPECT_EQ(r.transfers[0].block_size, 1024);
  EXPECT_DOUBLE_EQ(r.transfers[0].seconds, 2.0);
  EXPECT_EQ(r.traffic.size(), 1u);
  EXPECT_EQ(r.day_files_received.size(), 1u);
  EXPECT_TRUE(r.clock_set);

  // 10:00:00 UTC in the test's time zone names the file.
  EXPECT_EQ(r.transcript, TranscriptStem(clock_.WallNow() - Millis(3500), 7) + ".txt");
  const std::string transcript = ReadAll(dir_.Path() + r.transcript);
  EXPECT_NE(transcript.find("       0 > <Greeting>\\r\n"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("    1500 < Ident=00007TT***************1P123"), std::string::npos);
  // The station's own words read as text; only the line's bytes are escaped.
  EXPECT_NE(transcript.find("bloque 1 1024 crc sin respuesta válida\n"), std::string::npos);
  EXPECT_NE(transcript.find(" B/s: Transferencia Ok \\x1B\n"), std::string::npos);
  EXPECT_NE(transcript.find("> <Message>Comunicaci\\xC3\\xB3n exitosa\\r"), std::string::npos);
  EXPECT_NE(transcript.find(" * Tablas: TARIFA.TBL VI\\x1B]0;x\\x07EJA.TBL\n"), std::string::npos);
  EXPECT_EQ(transcript.find('\x1B'), std::string::npos);
  const std::string log = ReadAll(dir_.Path() + kCallLogName);
  for (const std::string& secret : {std::string("GALERNA"), std::string("071065076069082")}) {
    EXPECT_EQ(log.find(secret), std::string::npos);
    EXPECT_EQ(transcript.find(secret), std::string::npos);
  }
}

struct Ending {
  const char* name;
  bool identify;
  bool halves_differ;
  CallResult result;
  CallReason reason;
};

TEST_F(RecorderTest, EachKindOfEndingIsRecordedWithWhatWasKnown) {
  const Ending endings[] = {
      {"never identified", false, false, CallResult::kNeverIdentified, CallReason::kNone},
      {"stray lines", false, false, CallResult::kRefused, CallReason::kTooManyStrayLines},
      {"halves differ", true, true, CallResult::kRefused, CallReason::kHalvesDiffer},
      {"password", true, false, CallResult::kRefused, CallReason::kWrongPassword},
      {"device", true, false, CallResult::kRefused, CallReason::kDeviceMismatch},
      {"other line", true, false, CallResult::kRefused, CallReason::kInCallOnOtherLine},
      {"lock", true, false, CallResult::kRefused, CallReason::kLockFailed},
      {"unknown office", true, false, CallResult::kRefused, CallReason::kUnknownOffice},
      {"stall", true, false, CallResult::kAborted, CallReason::kStall},
      {"carrier", true, false, CallResult::kAborted, CallReason::kCarrierLost},
      {"transfer", true, false, CallResult::kAborted, CallReason::kTransferFailed},
      {"program", true, false, CallResult::kAborted, CallReason::kProgramError},
  };
  for (const Ending& e : endings) {
    recorder_.CallStarted();
    std::string line = Ident();
    if (e.halves_differ) line[line.size() - 1] = 'X';
    if (e.identify) recorder_.Identified(line, TableKind::Tab());
    if (e.reason == CallReason::kTransferFailed) {
      recorder_.TransferStarted(TransferDirection::kReceive, "recibo.zip");
      recorder_.TransferBlock({1, 1024, false, "ACK"});
    }
    clock_.Advance(Millis(1000));
    // The admission tells why the lock failed, or what is missing of an unknown office,
    // before the call ends without a detail.
    const bool told = e.reason == CallReason::kLockFailed || e.reason == CallReason::kUnknownOffice;
    if (told) recorder_.Detail(e.name);
    EXPECT_EQ(recorder_.Ended(e.result, e.reason, told ? "" : e.name), "") << e.name;
  }
  const auto logged = Logged();
  ASSERT_EQ(logged.size(), std::size(endings));
  for (size_t i = 0; i < logged.size(); ++i) {
    const Ending& e = endings[i];
    const CallRecord& r = logged[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(r.result, e.result);
    EXPECT_EQ(r.reason, e.reason);
    EXPECT_EQ(r.detail, e.name);
    EXPECT_FALSE(r.admitted);  // nobody said the admission let the office in
    const bool known = e.identify && !e.halves_differ;
    EXPECT_EQ(r.office.has_value(), known);
    EXPECT_EQ(r.office_files.has_value(), known);
    EXPECT_EQ(r.table_kind.has_value(), e.identify);
    if (e.halves_differ) {
      EXPECT_EQ(r.table_kind, "tab");  // the kind in force before
    }
    // An open transfer at the end is closed in the record, never lost.
    EXPECT_EQ(r.transfers.size(), e.reason == CallReason::kTransferFailed ? 1u : 0u);
    EXPECT_TRUE(fs::exists(dir_.Path() + r.transcript));
  }
  EXPECT_EQ(CallEndLine(logged[0]), "Fin de llamada: sin identificación, 1 s");
  EXPECT_EQ(CallEndLine(logged[3]), "Fin de llamada: rechazada (clave incorrecta), 1 s");
  // The transcript ends in the same words.
  const std::string transcript = ReadAll(dir_.Path() + logged[3].transcript);
  EXPECT_NE(transcript.find(" * Fin: rechazada (clave incorrecta)\n"), std::string::npos)
      << transcript;
  EXPECT_EQ(CallEndLine(logged[6]),
            "Fin de llamada: rechazada (bloqueo de la oficina fallido), 1 s");
  EXPECT_EQ(CallEndLine(logged[7]), "Fin de llamada: rechazada (oficina desconocida), 1 s");
  EXPECT_EQ(CallEndLine(logged[9]), "Fin de llamada: abortada (sin portadora), 1 s");
  // Twelve calls in distinct seconds: twelve transcripts, "sin-oficina" where the office is
  // unknown.
  EXPECT_NE(logged[0].transcript.find("-sin-oficina.txt"), std::string::npos);
}

TEST_F(RecorderTest, TwoCallsOfOneOfficeInOneSecondKeepBothTranscripts) {
  for (int i = 0; i < 2; ++i) {
    recorder_.CallStarted();
    recorder_.Identified(Ident(), TableKind::Tbl());
    recorder_.Ended(CallResult::kSuccess);
  }
  const auto logged = Logged();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_NE(logged[0].transcript, logged[1].transcript);
  EXPECT_TRUE(fs::is_regular_file(dir_.Path() + logged[0].transcript));
  EXPECT_TRUE(fs::is_regular_file(dir_.Path() + logged[1].transcript));
}

// A log that refuses every record (a directory in its place) is told once, not at the end of
// every call, and again once a record has gone in.
TEST_F(RecorderTest, LogThatRefusesRecordsIsToldOnceUntilItTakesOneAgain) {
  const std::string log = dir_.Path() + kCallLogName;
  const auto call = [&] {
    recorder_.CallStarted();
    clock_.Advance(Millis(1000));
    return recorder_.Ended(CallResult::kNeverIdentified);
  };
  fs::create_directory(log);
  EXPECT_NE(call().find(log), std::string::npos);
  EXPECT_EQ(call(), "");
  fs::remove(log);
  EXPECT_EQ(call(), "");
  fs::remove(log);
  fs::create_directory(log);
  EXPECT_NE(call().find(log), std::string::npos);
}

TEST_F(RecorderTest, TranscriptStopsAtItsCap) {
  CallRecorder small({dir_.Path(), "/h/", 1, "d", 4096}, clock_);
  small.CallStarted();
  for (int i = 0; i < 1000; ++i) small.LineReceived("ruido en la linea");
  small.Ended(CallResult::kNeverIdentified);
  const std::string transcript = ReadAll(dir_.Path() + small.Last().transcript);
  EXPECT_LE(transcript.size(), 4096u);
  EXPECT_NE(transcript.find("(transcripción truncada)"), std::string::npos);
}

TEST(IdentMasking, PasswordGroupsOfBothHalvesAreMasked) {
  IdentBuilder b;
  const std::string line = b.Line();
  const std::string masked = MaskIdentLine(line);
  ASSERT_EQ(masked.size(), line.size());
  const size_t half = line.size() / 2;
  for (size_t i = 0; i < line.size(); ++i) {
    const size_t in_half = i % half;
    const char expected = in_half >= 13 && in_half < 28 ? '*' : line[i];
    EXPECT_EQ(masked[i], expected) << i;
  }
  // A clean identification with bytes behind it keeps its other fields readable.
  const std::string noisy = MaskIdentLine(line + "ruido");
  EXPECT_EQ(noisy, masked + "ruido");
  // A line the admission could not read is masked from "Ident=" on; other lines untouched.
  EXPECT_EQ(MaskIdentLine("xIdent=00007TT071065"), "xIdent=*************");
  EXPECT_EQ(MaskIdentLine("RING"), "RING");
  EXPECT_EQ(EscapeLine(std::string("a\\b\x01\xE9\r", 6)), "a\\\\b\\x01\\xE9\\r");
}

// Noise before, inside (inserted or overwriting) and after an identification, with stray
// "Ident=" marks and digits: no byte of either half's password groups is left in clear.
TEST(IdentMasking, NoPasswordDigitSurvivesNoiseAnywhere) {
  constexpr size_t kNoise = std::string::npos;
  std::mt19937 random(20261207);
  const auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n)(random); };
  const auto noise = [&] {
    std::string out = pick(1) ? "" : pick(1) ? "Ident=" : "07";
    for (size_t k = pick(8); k > 0; --k) out += static_cast<char>(pick(255));
    return out;
  };
  for (int round = 0; round < 20000; ++round) {
    IdentBuilder b;
    b.password.clear();
    for (int i = 0; i < 5; ++i) b.password += static_cast<char>(1 + pick(254));
    const std::string sent = b.File("TARIFA.TBL", 4321).Line();
    std::vector<std::pair<char, size_t>> bytes;  // each byte and its place as sent
    for (size_t i = 0; i < sent.size(); ++i) bytes.emplace_back(sent[i], i);
    const auto insert = [&](size_t at) {
      for (char c : noise())
        bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(at++), {c, kNoise});
    };
    const size_t inside = pick(bytes.size() - 1);
    pick(1) ? insert(inside) : void(bytes[inside] = {static_cast<char>(pick(255)), kNoise});
    insert(0);
    insert(bytes.size());
    std::string line;
    for (const auto& byte : bytes) line += byte.first;
    const std::string masked = MaskIdentLine(line);
    for (size_t i = 0; i < bytes.size(); ++i) {
      const size_t at = bytes[i].second % (sent.size() / 2);
      if (bytes[i].second == kNoise || at < 13 || at >= 28) continue;
      ASSERT_EQ(masked[i], '*') << round << ": " << EscapeLine(line);
    }
  }
}

TEST(TranscriptAgeing, OldDaysGoFirstThenTheOldestUntilTheCapHolds) {
  ScratchDir dir;
  VirtualClock clock;  // 7 December 2026
  const std::string calls = dir.Path() + "calls/";
  test::WriteAll(calls + "2026-10-01/100000-loc07.txt", std::string(100, 'a'));  // too old
  test::WriteAll(calls + "2026-11-06/100000-loc07.txt", std::string(100, 'b'));  // 31 days
  test::WriteAll(calls + "2026-11-08/100000-loc07.txt", std::string(100, 'c'));  // kept by age
  test::WriteAll(calls + "2026-12-06/100000-loc07.txt", std::string(100, 'd'));
  test::WriteAll(calls + "2026-12-07/090000-loc07.txt", std::string(100, 'e'));
  test::WriteAll(calls + "notes/keep.txt", "operator's own");

  EXPECT_EQ(AgeTranscripts(dir.Path(), clock.WallNow(), {30, 1000}).removed, 2);
  EXPECT_FALSE(fs::exists(calls + "2026-10-01"));
  EXPECT_FALSE(fs::exists(calls + "2026-11-06"));
  EXPECT_TRUE(fs::exists(calls + "2026-11-08/100000-loc07.txt"));

  EXPECT_EQ(AgeTranscripts(dir.Path(), clock.WallNow(), {30, 250}).removed, 1);
  EXPECT_FALSE(fs::exists(calls + "2026-11-08"));
  EXPECT_TRUE(fs::exists(calls + "2026-12-06/100000-loc07.txt"));
  EXPECT_TRUE(fs::exists(calls + "2026-12-07/090000-loc07.txt"));
  EXPECT_TRUE(fs::exists(calls + "notes/keep.txt"));
  EXPECT_EQ(AgeTranscripts(dir.Path() + "nothing-here/", clock.WallNow(), {}).removed, 0);
}

// Whoever can write to the working directory can put links in "calls/": the transcripts are
// never written through one, and their ageing neither follows nor removes one, telling each.
TEST_F(RecorderTest, LinksInCallsAreNeverFollowed) {
  ScratchDir outside;
  const std::string calls = dir_.Path() + "calls/", theirs = outside.Path() + "100000-loc07.txt";
  const std::string today = TranscriptStem(clock_.WallNow(), 7).substr(0, 16);
  test::WriteAll(theirs, "theirs");
  test::WriteAll(calls + "2026-10-02/100000-loc07.txt", "old");
  test::WriteAll(calls + "2026-10-02/notas.txt", "the operator's");
  fs::create_symlink(theirs, calls + "2026-10-02/110000-loc08.txt");
  fs::create_directory_symlink(outside.Path(), calls + "2026-10-01");
  fs::create_directory_symlink(outside.Path(), dir_.Path() + today);
  recorder_.CallStarted();
  EXPECT_NE(recorder_.Ended(CallResult::kNeverIdentified).find("enlace simbólico"),
            std::string::npos);
  AgeingResult aged = AgeTranscripts(dir_.Path(), clock_.WallNow(), {30, 0});
  EXPECT_EQ(aged.removed, 1);
  ASSERT_EQ(aged.warnings.size(), 3u);
  EXPECT_EQ(aged.warnings[1],
            "Transcripciones: calls/2026-10-02/110000-loc08.txt es un enlace simbólico; no se "
            "sigue ni se borra");
  EXPECT_TRUE(fs::exists(calls + "2026-10-02/notas.txt"));
  fs::remove_all(calls);  // "calls" itself a link
  fs::create_directory_symlink(outside.Path(), dir_.Path() + "calls");
  recorder_.CallStarted();
  EXPECT_NE(recorder_.Ended(CallResult::kNeverIdentified), "");
  aged = AgeTranscripts(dir_.Path(), clock_.WallNow(), {30, 0});
  EXPECT_EQ(aged.warnings.size(), 1u);
  EXPECT_EQ(ReadAll(theirs), "theirs");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside.Path()), {}), 1);
}

// At start-up, then a day after the last run, never while a call is up.
TEST(TranscriptAgeing, RunsOnceADayAndNeverDuringACall) {
  ScratchDir dir;
  VirtualClock clock;
  TranscriptAgeing ageing(dir.Path(), clock);
  const std::string old = dir.Path() + "calls/2026-10-01/100000-loc07.txt";
  const std::tuple<int, bool, bool> steps[] = {
      {0, false, true}, {23, false, false}, {1, true, false}, {0, false, true}};
  for (const auto& [hours, in_call, aged] : steps) {
    test::WriteAll(old, "old");
    clock.Advance(std::chrono::hours(hours));
    ageing.RunWhenDue(in_call);
    EXPECT_EQ(fs::exists(old), !aged) << hours;
  }
}

}  // namespace
}  // namespace marvolen
