#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/ScratchDir.h"
#include "tests/transfer/TransferScriptedPeer.h"
#include "transfer/BlockFrame.h"
#include "transfer/TransferReceiver.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;
using namespace block;
using testing::ScriptedTransferLine;
const std::string kA(1, kAck), kN(1, kNak), kE(1, kEot), kC(1, kCan);

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A sender played by the test: the first request (C or NAK) picks the check mode, ACK moves
// on to the next frame (EOT after the last), NAK or C sends the same frame again, and a frame
// left unanswered for `timeout` is sent again. `spoil` may change or withhold (return "") a
// transmission; `lose` may swallow the n-th answer.
struct SenderPeer {
  SenderPeer(ScriptedTransferLine& l, VirtualClock& c, const std::string& archive,
             std::vector<std::size_t> sizes, char pad = '\0')
      : line(l), clock(c) {
    std::size_t at = 0;
    for (std::size_t s : sizes)
      blocks.push_back((archive + std::string(s, pad)).substr(at, s)), at += s;
    line.on_send = [this](const std::string& b) {
      if (b.size() != 1 || done || lose(++answers)) return;
      if (!mode && (b == "C" ? answers_c : b == kN))
        mode = b == "C" ? CheckMode::kCrc : CheckMode::kChecksum;
      else if (!mode)
        return;
      else if (b == kA && (done = next == blocks.size()))
        return;
      else if (b == kA)
        ++next;
      Transmit();
    };
  }
  void Transmit() {
    const int n = ++transmissions;
    const std::string out = spoil(
        n, next < blocks.size() ? BuildFrame(static_cast<unsigned>(next + 1), blocks[next], *mode)
                                : kE + eot_tail);
    if (!out.empty()) line.Deliver(out);
    if (timeout.count() > 0)
      clock.At(timeout, [this, n] {
        if (n == transmissions && !done) Transmit();
      });
  }

  ScriptedTransferLine& line;
  VirtualClock& clock;
  std::vector<std::string> blocks;
  std::function<std::string(int, std::string)> spoil = [](int, std::string f) { return f; };
  std::function<bool(int)> lose = [](int) { return false; };
  std::optional<CheckMode> mode;
  bool answers_c = true;
  Millis timeout{0};
  std::string eot_tail;
  std::size_t next = 0;
  int transmissions = 0, answers = 0;
  bool done = false;
};

class ReceiveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setup.dir = scratch::NewScratchDir("recv");
    // Stands in for the ZIP check: valid exactly at the length the test names, as an archive
    // is valid exactly when it ends after its end record.
    setup.archive.archive_length = [this](std::string_view bytes, std::size_t most_trailing) {
      ++checks;
      return valid_length <= bytes.size() && bytes.size() - valid_length <= most_trailing
                 ? std::optional<std::size_t>(valid_length)
                 : std::nullopt;
    };
    setup.archive.extract = [this](const fs::path& p, const fs::path& d, const EntryFilter&) {
      EXPECT_EQ(d, setup.dir);
      extracted.push_back(ReadFile(p));
      if (extract_fails) throw std::runtime_error("Archive is damaged");
    };
    setup.sinks.log = [this](std::string_view l) { log.emplace_back(l); };
    setup.sinks.panel = [this](int i, std::string_view t) {
      panels.push_back(std::to_string(i) + ":" + std::string(t));
    };
    setup.sinks.block = [this](const BlockNote& b) {
      blocks.push_back(std::to_string(b.number) + ":" + std::to_string(b.size) +
                       (b.crc ? ":crc:" : ":sum:") + b.answer);
    };
  }
  void TearDown() override { fs::remove_all(setup.dir); }

  // A fresh line and a peer sending `archive` (which is what the check accepts).
  SenderPeer& Peer(const std::string& archive, std::vector<std::size_t> sizes, char pad = '\0') {
    clock.emplace();
    line.emplace(*clock);
    valid_length = archive.size();
    return peer.emplace(*line, *clock, archive, std::move(sizes), pad);
  }
  ReceivedFile Receive() { return ReceiveFile(*line, setup); }
  // Our one-byte sends after the opening: A (ACK), N (NAK), C.
  std::string Replies() const {
    std::string r;
    for (std::size_t i = 2; i < line->sent.size(); ++i)
      r += line->sent[i].bytes == kA ? 'A' : line->sent[i].bytes[0];
    return std::replace(r.begin(), r.end(), kNak, 'N'), r;
  }
  fs::path Recibo() const { return setup.dir / "recibo.zip"; }

  std::optional<VirtualClock> clock;
  std::optional<ScriptedTransferLine> line;
  std::optional<SenderPeer> peer;
  ReceiveSetup setup;
  std::uintmax_t valid_length = 0;
  bool extract_fails = false;
  int checks = 0;
  std::vector<std::string> extracted, log, panels, blocks;
};

TEST_F(ReceiveFileTest, NormalExchangeStoresTrimsAndExtracts) {
  const std::string archive = RandomBytes(1500, 1);
  Peer(archive, {1024, 128, 128, 128, 128});
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "Transferencia OK");
  EXPECT_EQ(got.content, archive);
  EXPECT_EQ(line->sent[0].bytes, "\x11\x13");
  EXPECT_EQ(line->sent[1].bytes, "C");
  EXPECT_EQ(Replies(), "AAAAAA");
  EXPECT_EQ(panels, (std::vector<std::string>{"1:2", "1:3", "1:4", "1:5", "1:6"}));
  EXPECT_EQ(ReadFile(Recibo()), archive);
  EXPECT_EQ(extracted, std::vector<std::string>{archive});
  EXPECT_EQ(checks, 1);  // 36 padding bytes found in one look
}

TEST_F(ReceiveFileTest, ContentKeepsArrivalOrderAcrossBlockSizes) {
  for (const auto& plan : std::vector<std::vector<std::size_t>>{
           {1024, 128, 128, 128}, {128, 128, 128, 1024}, {128, 128, 128, 128, 128, 128}}) {
    const std::string archive = RandomBytes(std::accumulate(plan.begin(), plan.end(), 0u), 2);
    Peer(archive, plan);
    EXPECT_EQ(Receive().content, archive);
  }
}

TEST_F(ReceiveFileTest, SpoiledFramesAreRefusedAndTheResendTaken) {
  const std::vector<std::pair<const char*, std::function<void(std::string&)>>> rows = {
      {"complement", [](std::string& f) { f[2] ^= 1; }},
      {"number", [](std::string& f) { f[1] = 3, f[2] = static_cast<char>(0xFC); }},
      {"data", [](std::string& f) { f[40] ^= 0x10; }},
      {"crc", [](std::string& f) { f.back() ^= 1; }},
      {"one byte too many", [](std::string& f) { f += 'x'; }}};
  for (const auto& [name, spoil] : rows) {
    SCOPED_TRACE(name);
    const std::string archive = RandomBytes(200, 7);
    Peer(archive, {128, 128}).spoil = [&](int n, std::string f) {
      return n == 2 ? spoil(f), f : f;
    };
    blocks.clear();
    EXPECT_EQ(Receive().content, archive);
    EXPECT_EQ(Replies(), "ANAA");
    // Each answered frame is noted for the call's transcript, the refused one as NAK.
    EXPECT_EQ(blocks,
              (std::vector<std::string>{"1:128:crc:ACK", "2:128:crc:NAK", "2:128:crc:ACK"}));
  }
}

TEST_F(ReceiveFileTest, RepeatedBlockAfterLostAckIsAcknowledgedAndDropped) {
  // Our ACK of block 255 is lost: its repeat carries 255 while 0 is expected.
  const std::string archive = RandomBytes(256 * 1024, 3);
  SenderPeer& p = Peer(archive, std::vector<std::size_t>(256, 1024));
  p.timeout = Millis(5000);
  p.lose = [](int answer) { return answer == 1 + 255; };  // after the request
  EXPECT_EQ(Receive().content, archive);
  EXPECT_EQ(p.transmissions, 258);  // 256 blocks, one repeat, EOT
}

TEST_F(ReceiveFileTest, ShortFrames) {
  const std::string archive = RandomBytes(128, 5);
  // Completed by bytes that come within the 4-second wait.
  Peer(archive, {128}).spoil = [this](int n, std::string f) {
    if (n == 1) line->Deliver(f.substr(100), Millis(3000)), f.resize(100);
    return f;
  };
  EXPECT_EQ(Receive().result, "Transferencia OK");
  EXPECT_TRUE(log.empty());
  // The line is told how much of the frame is missing, each second it waits for it, so that
  // it need not wake for every part of it.
  EXPECT_EQ(line->wanted, (std::vector<std::size_t>{33, 33, 33}));
  // Short for good: silent waits are counted aloud until the sender repeats the frame; the
  // leftover and the repeat together are too long and refused; the next repeat is taken.
  SenderPeer& p = Peer(archive, {128});
  p.timeout = Millis(10000);
  p.spoil = [](int n, std::string f) { return n == 1 ? f.erase(60, 1) : f; };
  EXPECT_EQ(Receive().content, archive);
  EXPECT_EQ(log, (std::vector<std::string>{"Error de caracter1", "Error de caracter2"}));
  EXPECT_EQ(Replies(), "NAA");
}

TEST_F(ReceiveFileTest, TrimmingStopsAt127Bytes) {
  // A one-byte archive in a 128-byte block is valid after 127 removed bytes.
  Peer("Z", {128}, '\x1A');
  EXPECT_EQ(Receive().result, "Transferencia OK");
  EXPECT_EQ(ReadFile(Recibo()), "Z");
  // Valid only after 128 removals: refused, not extracted, no closing sequence, and the file
  // is left shortened by 127 bytes.
  Peer("Z", {128}, '\x1A');
  valid_length = 0;
  extracted.clear();
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "No se pudo abrir archivo");
  EXPECT_EQ(got.content, "Z");
  EXPECT_EQ(ReadFile(Recibo()), "Z");
  EXPECT_TRUE(extracted.empty());
  EXPECT_EQ(line->sent.back().bytes, kA);
}

TEST_F(ReceiveFileTest, NoArchiveAfterEotAloneOrAFailedExtraction) {
  Peer("", {});
  valid_length = 22;
  EXPECT_EQ(Receive().result, "No se pudo abrir archivo");
  EXPECT_TRUE(extracted.empty());
  const std::string archive = RandomBytes(100, 9);
  Peer(archive, {128});
  extract_fails = true;
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "No se pudo abrir archivo");
  EXPECT_EQ(got.content, archive);
}

// The disk fills while "recibo.zip" is stored: the file error ends the call (the station's
// handler resets the line), the archive is not unpacked, and no part of it is left behind.
TEST_F(ReceiveFileTest, AFullDiskWhileStoringTheArchiveLeavesNoPartOfIt) {
  const std::string archive = RandomBytes(1500, 21);
  Peer(archive, {1024, 1024});
  const FileOps system = SystemFileOps();
  std::size_t room = 1000;
  setup.archive.files.write = [&room, system](int fd, const void* data, size_t size) {
    if (room == 0) return errno = ENOSPC, ssize_t{-1};
    const ssize_t n = system.write(fd, data, std::min(size, room));
    if (n > 0) room -= static_cast<std::size_t>(n);
    return n;
  };
  std::string error;
  try {
    Receive();
  } catch (const FileError& e) {
    error = e.what();
  }
  EXPECT_NE(error.find("recibo.zip: No space left on device"), std::string::npos) << error;
  EXPECT_EQ(room, 0u);
  EXPECT_FALSE(fs::exists(Recibo()));
  EXPECT_TRUE(extracted.empty());
}

// The archive is written once, at its final length: nothing is shortened on the disk.
TEST_F(ReceiveFileTest, TheArchiveIsWrittenOnceAtItsFinalLength) {
  const std::string archive = RandomBytes(1500, 22);
  Peer(archive, {1024, 128, 128, 128, 128});
  const FileOps system = SystemFileOps();
  std::size_t written = 0;
  setup.archive.files.truncate = [](const char*, off_t) { return errno = EIO, -1; };
  setup.archive.files.write = [&written, system](int fd, const void* data, size_t size) {
    const ssize_t n = system.write(fd, data, size);
    if (n > 0) written += static_cast<std::size_t>(n);
    return n;
  };
  EXPECT_EQ(Receive().result, "Transferencia OK");
  EXPECT_TRUE(ReadFile(Recibo()) == archive);
  EXPECT_EQ(written, archive.size());
}

TEST_F(ReceiveFileTest, OldArchiveOfAnyCaseIsReplacedAndTrailingBytesHandedBack) {
  std::ofstream(setup.dir / "Recibo.ZIP") << "old";
  const std::string archive = RandomBytes(128, 11);
  Peer(archive, {128}).eot_tail =
      "\x06\x06"
      "ACK\r";
  EXPECT_EQ(Receive().result, "Transferencia OK");
  EXPECT_FALSE(fs::exists(setup.dir / "Recibo.ZIP"));
  EXPECT_EQ(ReadFile(Recibo()), archive);
  EXPECT_EQ(line->Inbox(),
            "\x06\x06"
            "ACK\r");
}

TEST_F(ReceiveFileTest, ChecksumModeAfterThreeUnansweredCs) {
  const std::string archive = RandomBytes(300, 13);
  Peer(archive, {128, 128, 128}).answers_c = false;
  EXPECT_EQ(Receive().content, archive);
  EXPECT_EQ(Replies(), "CCCNAAAA");
  EXPECT_EQ(line->sent[5].at_ms, 32000);
}

TEST_F(ReceiveFileTest, SilentLineFailsAfterAbout86Seconds) {
  Peer("", {});
  line->on_send = nullptr;  // nobody there
  EXPECT_EQ(Receive().result, "Maximo de Errores. Transferencia Abortada.");
  std::vector<std::pair<long long, std::string>> expected = {{0, "\x11\x13"}, {0, "C"}};
  for (int i = 1; i <= 10; ++i) expected.emplace_back(i * 8000, i <= 3 ? "C" : kN);
  expected.emplace_back(86000, std::string(kReceiverFailureClosing));
  ASSERT_EQ(line->sent.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(line->sent[i].bytes, expected[i].second) << i;
    EXPECT_NEAR(line->sent[i].at_ms, expected[i].first, 20) << i;
  }
  EXPECT_EQ(log, std::vector<std::string>{"Error de caracter11"});
  EXPECT_EQ(line->purges, 1);
  EXPECT_EQ(line->purge_alls, 1);
}

TEST_F(ReceiveFileTest, FailuresEndWithTheirTextThePauseAndTheClosingSequence) {
  struct Row {
    const char* name;
    std::function<std::string(ScriptedTransferLine&, int, std::string)> spoil;
    std::string result;
    long long pause_ms;  // from our previous send to the closing sequence
  };
  const std::vector<Row> rows = {
      {"stalls after block 1",
       [](ScriptedTransferLine&, int n, std::string f) { return n == 1 ? f : ""; },
       "Maximo de Errores. Transferencia Abortada.", 86000},
      {"carrier drops after block 1",
       [](ScriptedTransferLine& l, int n, std::string f) { return l.carrier_lost = n == 2, f; },
       "No Carrier", 0},  // no one is left to pause for
      {"read error",
       [](ScriptedTransferLine& l, int, std::string f) { return l.read_fails = true, f; },
       "Transferecia Abortada por Usuario", 2000},
      {"cancel in one read",
       [](ScriptedTransferLine&, int n, std::string f) {
         return n == 2 ? std::string(5, kCan) : f;
       },
       "Transferencia Abortada Por Envio", 2000},
      {"cancel split over reads",
       [](ScriptedTransferLine& l, int n, std::string f) {
         return n == 2 ? l.Deliver(kC + kC, Millis(1000)), kC : f;
       },
       "Transferencia Abortada Por Envio", 2000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Peer(RandomBytes(300, 17), {128, 128, 128}).spoil = [&](int n, std::string f) {
      return row.spoil(*line, n, f);
    };
    const ReceivedFile got = Receive();
    EXPECT_EQ(got.result, row.result);
    EXPECT_TRUE(got.content.empty());
    const auto& sent = line->sent;
    EXPECT_EQ(sent.back().bytes, kReceiverFailureClosing);
    EXPECT_NEAR(sent.back().at_ms - sent[sent.size() - 2].at_ms, row.pause_ms, 30);
    if (row.result.ends_with("Envio")) {
      EXPECT_EQ(sent[sent.size() - 2].bytes, kReceiverCancelAnswer);
    }
    EXPECT_EQ(line->purge_alls, 1);
    EXPECT_FALSE(fs::exists(Recibo()));
    EXPECT_TRUE(extracted.empty());
  }
}

// What ends a transfer from outside the protocol ends it within a second of silence or in the
// middle of a frame, with the receiver's own closing sequence (after its pause, but for a stop
// and a lost carrier): the station's stop, the call's deadline and a lost carrier; a file that
// grows past its bound ends it before the block that would take it there is acknowledged, or
// after the trimming when only the padding kept it inside. The sender trickles a block every
// 5 s, which the protocol's own limits would wait on for good.
TEST_F(ReceiveFileTest, StopDeadlineCarrierAndSizeEndTheTransferAtOnce) {
  struct Row {
    const char* name;
    std::size_t max_bytes, archive_bytes;
    long long stop_ms, deadline_ms, drop_ms;  // when each comes, 0: never (drop: in frame 3)
    std::string result;
    TransferEnd end;
    long long ends_at_ms;   // the last send
    std::uint64_t moved;    // data bytes accepted
    std::string_view last;  // the last bytes sent
  };
  const std::vector<Row> rows = {
      {"stop", 0, 1000, 12500, 0, 0, std::string(kTransferStopped), TransferEnd::kStopped, 13000,
       256, kReceiverFailureClosing},
      {"deadline", 0, 1000, 0, 7000, 0, std::string(kTransferOutOfTime), TransferEnd::kOutOfTime,
       9000, 128, kReceiverFailureClosing},
      {"carrier lost inside a frame", 0, 1000, 0, 0, 15500, "No Carrier", TransferEnd::kCarrierLost,
       16000, 256, kReceiverFailureClosing},
      {"past the bound", 300, 1000, 0, 0, 0, std::string(kTransferTooLarge), TransferEnd::kTooLarge,
       22000, 384, kReceiverFailureClosing},
      {"past the bound once trimmed", 300, 320, 0, 0, 0, std::string(kTransferTooLarge),
       TransferEnd::kTooLarge, 20000, 384, kA},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Peer(RandomBytes(row.archive_bytes, 23),
         std::vector<std::size_t>((row.archive_bytes + 127) / 128, 128));
    peer->spoil = [this, &row](int n, std::string f) {
      line->Deliver(row.drop_ms && n == 3 ? f.substr(0, 60) : f, Millis(5000));
      return std::string();
    };
    bool stop = false;
    if (row.stop_ms) clock->At(Millis(row.stop_ms), [&stop] { stop = true; });
    if (row.drop_ms) clock->At(Millis(row.drop_ms), [this] { line->carrier_lost = true; });
    setup.bounds = {StopRequest([&stop] { return stop; }), nullptr, row.max_bytes};
    // The call's allowance as a plain deadline: no line speed, so moved bytes add nothing.
    CallProgress progress;
    progress.Start(clock->Now(), {Millis(3'600'000), Millis(row.deadline_ms), 0});
    if (row.deadline_ms) setup.bounds.progress = &progress;
    extracted.clear();
    const ReceivedFile got = Receive();
    EXPECT_EQ(got.result, row.result);
    EXPECT_EQ(got.end, row.end);
    EXPECT_EQ(got.moved, row.moved);
    EXPECT_FALSE(got.detail.empty());
    EXPECT_TRUE(got.content.empty() && extracted.empty() && !fs::exists(Recibo()));
    EXPECT_EQ(line->sent.back().bytes, row.last);
    EXPECT_NEAR(line->sent.back().at_ms, row.ends_at_ms, 50);
  }
}

// A sender that answers every NAK with another bad frame is not answered for ever: a minute
// without an accepted block ends the transfer as a failure, with the closing sequence.
TEST_F(ReceiveFileTest, EndlessBadFramesEndAMinuteAfterTheLastAcceptedBlock) {
  for (const int good : {0, 1}) {
    SCOPED_TRACE(good);
    Peer(RandomBytes(300, 19), {128, 128, 128}).spoil = [this, good](int n, std::string f) {
      if (line->NowMs() > 150000) return std::string();  // the sender tires at last
      if (n > good) f[40] ^= 0x10;
      return f;
    };
    const ReceivedFile got = Receive();
    EXPECT_EQ(got.result, "Maximo de Errores. Transferencia Abortada.");
    EXPECT_TRUE(got.content.empty());
    const auto& sent = line->sent;
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent.back().bytes, kReceiverFailureClosing);
    // The last block accepted (or the opening), a minute of NAKs, the 2-second pause.
    const auto ack =
        std::find_if(sent.begin() + 2, sent.end(), [](const auto& s) { return s.bytes == kA; });
    const long long since = good ? ack->at_ms : 0;
    EXPECT_NEAR(sent.back().at_ms, since + 60000 + 2000, 100);
    EXPECT_GT(std::count_if(sent.begin(), sent.end(), [](const auto& s) { return s.bytes == kN; }),
              100);
    EXPECT_EQ(line->purge_alls, 1);
    EXPECT_FALSE(fs::exists(Recibo()));
  }
}

// The call's bounds are its progress, not its age: a sender that keeps a steady pace is let
// finish long after the base allowance, since every block accepted adds four times its line
// time; one that trickles a block at the edge of the protocol's waits falls behind and is cut
// by the total bound; one that sends nothing is cut by the idle bound (before the receiver's
// own minute). Every accepted block is reported to the call as it comes.
TEST_F(ReceiveFileTest, TheCallsProgressBoundsLetASteadySenderFinishAndCutTheOthers) {
  struct Row {
    const char* name;
    long long block_every_ms;  // 0: the sender sends nothing
    std::string result;
    TransferEnd end;
    std::uint64_t moved;
    long long ends_at_ms;  // the last send, about (a cut's closing sequence follows its pause)
  };
  // Base 25 s, idle 15 s, 9600 bit/s: each 1024-byte block adds 4.27 s to the allowance.
  const std::vector<Row> rows = {
      {"steady", 2000, std::string(kReceiveOk), TransferEnd::kDone, 16 * 1024, 34000},
      {"trickling", 7000, std::string(kTransferOutOfTime), TransferEnd::kOutOfTime, 7 * 1024,
       57000},
      {"silent", 0, std::string(kTransferNoProgress), TransferEnd::kNoProgress, 0, 17000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Peer(RandomBytes(16 * 1024, 29), std::vector<std::size_t>(16, 1024));
    peer->spoil = [this, &row](int, std::string f) {
      if (row.block_every_ms) line->Deliver(f, Millis(row.block_every_ms));
      return std::string();
    };
    CallProgress progress;
    progress.Start(clock->Now(), {Millis(15'000), Millis(25'000), 9600});
    setup.bounds.progress = &progress;
    const ReceivedFile got = Receive();
    EXPECT_EQ(got.result, row.result);
    EXPECT_EQ(got.end, row.end);
    EXPECT_EQ(got.moved, row.moved);
    EXPECT_EQ(progress.Bytes(), row.moved);
    EXPECT_NEAR(line->sent.back().at_ms, row.ends_at_ms, 1100);
  }
}

}  // namespace
}  // namespace marvolen
