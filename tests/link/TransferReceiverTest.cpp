#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "link/BlockFrame.h"
#include "link/TransferReceiver.h"
#include "tests/link/TransferScriptedPeer.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;
using namespace block;
using testing::ScriptedLine;

const std::string kAckText(1, kAck);
const std::string kNakText(1, kNak);
const std::string kEotText(1, kEot);

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A sender played by the test: the first request (C or NAK) picks the check mode, each ACK
// moves on to the next frame, NAK or C sends the same frame again, EOT follows the last.
// `deliver` may spoil or withhold a transmission, `lose` may swallow an answer; a frame left
// unanswered for `timeout` is sent again, as real senders do.
struct SenderPeer {
  SenderPeer(ScriptedLine& l, std::vector<std::string> data_blocks)
      : line(l), blocks(std::move(data_blocks)) {
    line.on_send = [this](const std::string& bytes) { OnReceiverBytes(bytes); };
  }

  void OnReceiverBytes(const std::string& bytes) {
    if (bytes.size() != 1 || done) return;
    const char b = bytes[0];
    if (++answers, lose(answers)) return;
    if (!mode) {
      if (b == kCrcRequest && answers_c) mode = CheckMode::kCrc;
      if (b == kNak) mode = CheckMode::kChecksum;
      if (mode) Transmit();
      return;
    }
    if (b == kAck && next == blocks.size()) done = true;
    if (b == kAck && next < blocks.size()) ++next;
    if (b == kAck || b == kNak || b == kCrcRequest) Transmit();
  }

  void Transmit() {
    if (done) return;
    const int generation = ++transmissions;
    std::string out = next < blocks.size()
                          ? BuildFrame(static_cast<unsigned>(next + 1), blocks[next], *mode)
                          : kEotText + eot_tail;
    out = deliver(generation, out);
    if (!out.empty()) line.Deliver(out, Millis(20));
    if (timeout.count() > 0) {
      clock_at(timeout, [this, generation] {
        if (generation == transmissions && !done) Transmit();
      });
    }
  }

  ScriptedLine& line;
  std::vector<std::string> blocks;
  std::function<void(Millis, std::function<void()>)> clock_at;
  std::function<std::string(int, std::string)> deliver = [](int, std::string f) { return f; };
  std::function<bool(int)> lose = [](int) { return false; };
  std::optional<CheckMode> mode;
  bool answers_c = true;
  Millis timeout{0};
  std::string eot_tail;
  std::size_t next = 0;
  int transmissions = 0;
  int answers = 0;
  bool done = false;
};

// Cuts `archive` plus `pad` bytes of `pad_byte` into blocks of the given sizes.
std::vector<std::string> Blocks(const std::string& archive, const std::vector<std::size_t>& sizes,
                                char pad_byte = '\0') {
  std::size_t total = 0;
  for (std::size_t s : sizes) total += s;
  std::string padded = archive;
  padded.resize(total, pad_byte);
  std::vector<std::string> blocks;
  std::size_t at = 0;
  for (std::size_t s : sizes) {
    blocks.push_back(padded.substr(at, s));
    at += s;
  }
  return blocks;
}

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/marvolen-recv-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    setup.dir = tmpl;
    // The archive stand-in is valid exactly at the length the test names, as a ZIP is valid
    // exactly when it ends after its end record.
    setup.archive.is_valid = [this](const fs::path& p) {
      ++checks;
      return fs::exists(p) && fs::file_size(p) == valid_length;
    };
    setup.archive.extract = [this](const fs::path& p, const fs::path& d) {
      extracted.push_back(ReadFile(p));
      EXPECT_EQ(d, setup.dir);
      if (extract_fails) throw std::runtime_error("Archive is damaged");
    };
    setup.sinks.log = [this](std::string_view l) { log.emplace_back(l); };
    setup.sinks.panel = [this](int i, std::string_view t) {
      panels.push_back(std::to_string(i) + ":" + std::string(t));
    };
  }
  void TearDown() override { fs::remove_all(setup.dir); }

  SenderPeer& Peer(std::vector<std::string> blocks) {
    peer.emplace(line, std::move(blocks));
    peer->clock_at = [this](Millis d, std::function<void()> f) { clock.At(d, std::move(f)); };
    return *peer;
  }
  ReceivedFile Receive() { return ReceiveFile(line, setup); }
  // Our one-byte answers after the opening, as a string of A (ACK), N (NAK), C.
  std::string Replies() const {
    std::string r;
    for (std::size_t i = 2; i < line.sent.size(); ++i) {
      const std::string& b = line.sent[i].bytes;
      r += b == kAckText ? 'A' : b == kNakText ? 'N' : b == "C" ? 'C' : '?';
    }
    return r;
  }
  fs::path Recibo() const { return setup.dir / "recibo.zip"; }
  bool EndedWithClosing() const { return line.sent.back().bytes == kReceiverFailureClosing; }

  VirtualClock clock;
  ScriptedLine line{clock};
  ReceiveSetup setup;
  std::optional<SenderPeer> peer;
  std::uintmax_t valid_length = 0;
  bool extract_fails = false;
  int checks = 0;
  std::vector<std::string> extracted;
  std::vector<std::string> log;
  std::vector<std::string> panels;
};

TEST_F(ReceiverTest, NormalExchangeStoresTrimsAndExtracts) {
  const std::string archive = RandomBytes(1500, 1);
  valid_length = archive.size();
  Peer(Blocks(archive, {1024, 128, 128, 128, 128}));
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "Transferencia OK");
  EXPECT_EQ(got.content, archive);
  EXPECT_EQ(line.sent[0].bytes, "\x11\x13");
  EXPECT_EQ(line.sent[1].bytes, "C");
  EXPECT_EQ(Replies(), "AAAAAA");
  EXPECT_EQ(panels, (std::vector<std::string>{"1:2", "1:3", "1:4", "1:5", "1:6"}));
  EXPECT_EQ(ReadFile(Recibo()), archive);
  EXPECT_EQ(extracted, std::vector<std::string>{archive});
  EXPECT_EQ(checks, 37);  // 36 padding bytes removed one at a time
}

TEST_F(ReceiverTest, ContentKeepsArrivalOrderAcrossBlockSizes) {
  const std::vector<std::vector<std::size_t>> plans = {
      {1024, 128, 128, 128}, {128, 128, 128, 1024}, {128, 128, 128, 128, 128, 128}};
  for (const auto& plan : plans) {
    VirtualClock c;
    ScriptedLine l(c);
    std::size_t total = 0;
    for (std::size_t s : plan) total += s;
    const std::string archive = RandomBytes(total, static_cast<unsigned>(total));
    valid_length = total;
    SenderPeer p(l, Blocks(archive, plan));
    const ReceivedFile got = ReceiveFile(l, setup);
    EXPECT_EQ(got.result, "Transferencia OK");
    EXPECT_EQ(got.content, archive);
  }
}

TEST_F(ReceiverTest, SpoiledFramesAreRefusedAndTheResendAccepted) {
  struct Row {
    const char* name;
    std::function<std::string(std::string)> spoil;
  };
  const std::vector<Row> rows = {
      {"wrong complement", [](std::string f) { return f[2] ^= 0x01, f; }},
      {"wrong number", [](std::string f) { return f[1] = 3, f[2] = static_cast<char>(0xFC), f; }},
      {"corrupted data", [](std::string f) { return f[40] ^= 0x10, f; }},
      {"corrupted CRC", [](std::string f) { return f.back() ^= 0x01, f; }},
      {"one byte too many", [](std::string f) { return f + "x"; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    VirtualClock c;
    ScriptedLine l(c);
    const std::string archive = RandomBytes(200, 7);
    valid_length = archive.size();
    SenderPeer p(l, Blocks(archive, {128, 128}));
    p.deliver = [&](int n, std::string f) { return n == 2 ? row.spoil(f) : f; };
    const ReceivedFile got = ReceiveFile(l, setup);
    EXPECT_EQ(got.result, "Transferencia OK");
    EXPECT_EQ(got.content, archive);
    std::string replies;
    for (std::size_t i = 2; i < l.sent.size(); ++i)
      replies += l.sent[i].bytes == kNakText ? 'N' : 'A';
    EXPECT_EQ(replies, "ANAA");
  }
}

TEST_F(ReceiverTest, RepeatedBlockAfterLostAckIsAcknowledgedAndDropped) {
  // Lose our ACK of block 255: the resent block carries 255 while 0 is expected.
  const std::string archive = RandomBytes(256 * 1024, 3);
  valid_length = archive.size();
  std::vector<std::size_t> plan(256, 1024);
  SenderPeer& p = Peer(Blocks(archive, plan));
  p.timeout = Millis(5000);
  p.lose = [](int answer) { return answer == 1 + 255; };  // the request, then ACKs
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "Transferencia OK");
  EXPECT_EQ(got.content, archive);
  EXPECT_EQ(p.transmissions, 258);  // 256 blocks, one repeat, EOT
}

TEST_F(ReceiverTest, ShortFrames) {
  const std::string archive = RandomBytes(128, 5);
  valid_length = archive.size();
  // Completed by bytes that come within the 4-second wait.
  SenderPeer& p = Peer(Blocks(archive, {128}));
  p.deliver = [this](int n, std::string f) {
    if (n != 1) return f;
    line.Deliver(f.substr(100), Millis(3000));
    return f.substr(0, 100);
  };
  EXPECT_EQ(Receive().result, "Transferencia OK");
  EXPECT_TRUE(log.empty());

  // A frame that lost bytes stays short: silent waits are counted aloud until the sender
  // sends it again; the leftover plus the new frame is too long and refused, the next one
  // is taken.
  VirtualClock c;
  ScriptedLine l(c);
  log.clear();
  SenderPeer q(l, Blocks(archive, {128}));
  q.clock_at = [&c](Millis d, std::function<void()> f) { c.At(d, std::move(f)); };
  q.timeout = Millis(10000);
  q.deliver = [](int n, std::string f) { return n == 1 ? f.erase(60, 1), f : f; };
  const ReceivedFile got = ReceiveFile(l, setup);
  EXPECT_EQ(got.result, "Transferencia OK");
  EXPECT_EQ(got.content, archive);
  EXPECT_EQ(log, (std::vector<std::string>{"Error de caracter1", "Error de caracter2"}));
}

TEST_F(ReceiverTest, TrimmingGivesUpAfter127Bytes) {
  // A one-byte archive in a 128-byte block: valid after 127 removed bytes.
  valid_length = 1;
  Peer(Blocks("Z", {128}, '\x1A'));
  ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "Transferencia OK");
  EXPECT_EQ(got.content, "Z");
  EXPECT_EQ(ReadFile(Recibo()), "Z");

  // The same with a valid length of 0 would need 128 removals: refused, nothing extracted,
  // no closing sequence, and the file left shortened by 127 bytes.
  VirtualClock c;
  ScriptedLine l(c);
  valid_length = 0;
  extracted.clear();
  SenderPeer q(l, Blocks("Z", {128}, '\x1A'));
  got = ReceiveFile(l, setup);
  EXPECT_EQ(got.result, "No se pudo abrir archivo");
  EXPECT_EQ(got.content, "Z");
  EXPECT_EQ(ReadFile(Recibo()), "Z");
  EXPECT_TRUE(extracted.empty());
  EXPECT_EQ(l.sent.back().bytes, kAckText);
}

TEST_F(ReceiverTest, EotBeforeAnyBlockIsNoArchive) {
  valid_length = 22;
  line.Deliver(kEotText, Millis(500));
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "No se pudo abrir archivo");
  EXPECT_TRUE(got.content.empty());
  EXPECT_TRUE(extracted.empty());
}

TEST_F(ReceiverTest, ExtractionFailureIsNoArchive) {
  const std::string archive = RandomBytes(100, 9);
  valid_length = archive.size();
  extract_fails = true;
  Peer(Blocks(archive, {128}));
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "No se pudo abrir archivo");
  EXPECT_EQ(got.content, archive);
}

TEST_F(ReceiverTest, OldArchiveOfAnyCaseIsReplacedAndTrailingBytesHandedBack) {
  std::ofstream(setup.dir / "Recibo.ZIP") << "old";
  const std::string archive = RandomBytes(128, 11);
  valid_length = archive.size();
  Peer(Blocks(archive, {128})).eot_tail =
      "\x06\x06"
      "ACK\r";
  EXPECT_EQ(Receive().result, "Transferencia OK");
  EXPECT_FALSE(fs::exists(setup.dir / "Recibo.ZIP"));
  EXPECT_EQ(ReadFile(Recibo()), archive);
  EXPECT_EQ(line.Inbox(),
            "\x06\x06"
            "ACK\r");
}

TEST_F(ReceiverTest, ChecksumModeAfterThreeUnansweredCs) {
  const std::string archive = RandomBytes(300, 13);
  valid_length = archive.size();
  Peer(Blocks(archive, {128, 128, 128})).answers_c = false;
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "Transferencia OK");
  EXPECT_EQ(got.content, archive);
  EXPECT_EQ(Replies(), "CCCNAAAA");
  EXPECT_EQ(line.sent[5].at_ms, 32000);
}

TEST_F(ReceiverTest, SilentLineFailsAfterAbout86Seconds) {
  const ReceivedFile got = Receive();
  EXPECT_EQ(got.result, "Maximo de Errores. Transferencia Abortada.");
  std::vector<std::pair<long long, std::string>> expected = {{0, "\x11\x13"}, {0, "C"}};
  for (int i = 1; i <= 10; ++i) expected.emplace_back(i * 8000, i <= 3 ? "C" : kNakText);
  expected.emplace_back(86000, std::string(kReceiverFailureClosing));
  ASSERT_EQ(line.sent.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(line.sent[i].bytes, expected[i].second) << i;
    EXPECT_NEAR(line.sent[i].at_ms, expected[i].first, 20) << i;
  }
  EXPECT_EQ(log, std::vector<std::string>{"Error de caracter11"});
  EXPECT_EQ(line.purges, 1);
  EXPECT_EQ(line.purge_alls, 1);
}

TEST_F(ReceiverTest, PeerFailuresEndWithTheirTextAndTheClosingSequence) {
  struct Row {
    const char* name;
    std::function<void(SenderPeer&, ScriptedLine&)> fault;
    std::string result;
    long long closing_after_last_ms;  // from our previous send to the closing sequence
  };
  const std::vector<Row> rows = {
      {"stalls after block 1",
       [](SenderPeer& p, ScriptedLine&) {
         p.deliver = [](int n, std::string f) { return n == 1 ? f : std::string(); };
       },
       "Maximo de Errores. Transferencia Abortada.", 86000},
      {"carrier drops after block 1",
       [](SenderPeer& p, ScriptedLine& l) {
         p.deliver = [&l](int n, std::string f) {
           if (n == 2) l.carrier_lost = true;
           return f;
         };
       },
       "No Carrier", 2000},
      {"read error", [](SenderPeer&, ScriptedLine& l) { l.read_fails = true; },
       "Transferecia Abortada por Usuario", 2000},
      {"cancel in one read",
       [](SenderPeer& p, ScriptedLine&) {
         p.deliver = [](int n, std::string f) { return n == 2 ? std::string(5, kCan) : f; };
       },
       "Transferencia Abortada Por Envio", 2000},
      {"cancel split over reads",
       [](SenderPeer& p, ScriptedLine& l) {
         p.deliver = [&l](int n, std::string f) {
           if (n != 2) return f;
           l.Deliver(std::string(2, kCan), Millis(1000));
           return std::string(1, kCan);
         };
       },
       "Transferencia Abortada Por Envio", 2000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    VirtualClock c;
    ScriptedLine l(c);
    const std::string archive = RandomBytes(300, 17);
    valid_length = archive.size();
    SenderPeer p(l, Blocks(archive, {128, 128, 128}));
    row.fault(p, l);
    const ReceivedFile got = ReceiveFile(l, setup);
    EXPECT_EQ(got.result, row.result);
    EXPECT_TRUE(got.content.empty());
    ASSERT_GE(l.sent.size(), 3u);
    EXPECT_EQ(l.sent.back().bytes, kReceiverFailureClosing);
    const auto& before = l.sent[l.sent.size() - 2];
    EXPECT_NEAR(l.sent.back().at_ms - before.at_ms, row.closing_after_last_ms, 30);
    if (row.result == "Transferencia Abortada Por Envio") {
      EXPECT_EQ(before.bytes, "\x18\x18\x18\x06");
    }
    EXPECT_EQ(l.purge_alls, 1);
    EXPECT_FALSE(fs::exists(Recibo()));
    EXPECT_TRUE(extracted.empty());
  }
}

}  // namespace
}  // namespace marvolen
