#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/BlockFrame.h"
#include "link/TransferSender.h"
#include "tests/link/TransferScriptedPeer.h"

namespace marvolen {
namespace {

using namespace block;
using testing::ScriptedLine;

const std::string kAckText(1, kAck);
const std::string kNakText(1, kNak);
const std::string kCanText(1, kCan);

// Our sender against a scripted receiver that answers each frame transmission and each EOT
// as the test says; an empty answer is silence.
class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line.on_send = [this](const std::string& bytes) {
      if (bytes == std::string(1, kEot)) {
        Reply(eot_answer(++eots));
      } else if (bytes[0] == kSoh || bytes[0] == kStx) {
        frames.push_back(bytes);
        Reply(answer(static_cast<int>(frames.size()), bytes));
      }
    };
    sinks.panel = [this](int index, std::string_view text) {
      panels.push_back(std::to_string(index) + ":" + std::string(text));
    };
  }
  void Reply(const std::string& bytes) {
    if (!bytes.empty()) line.Deliver(bytes, Millis(50));
  }
  std::string Send(std::string_view content, std::string request = "C") {
    line.Deliver(std::move(request), Millis(100));
    return SendFile(line, content, sinks);
  }
  // The data of every frame sent, in order (with no resends, the padded content).
  std::string FramedData() const {
    std::string data;
    for (const std::string& f : frames) data += FrameData(f, f[0] == kStx ? 1024 : 128);
    return data;
  }
  bool Cancelled() const { return line.sent.back().bytes == kSenderCancel; }

  VirtualClock clock;
  ScriptedLine line{clock};
  TransferSinks sinks;
  std::vector<std::string> frames;
  std::vector<std::string> panels;
  int eots = 0;
  std::function<std::string(int, const std::string&)> answer = [](int, const std::string&) {
    return kAckText;
  };
  std::function<std::string(int)> eot_answer = [](int) { return kAckText; };
};

TEST_F(SenderTest, AbcGoesOutAsOneCrcFrameThenEot) {
  EXPECT_EQ(Send("abc"), "Transferencia Ok");
  std::string expected =
      "\x01\x01\xFE"
      "abc";
  expected.append(125, '\0');
  expected += "\xC5\x78";
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], expected);
  EXPECT_EQ(line.sent.back().bytes, std::string(1, kEot));
  EXPECT_EQ(panels, std::vector<std::string>{"3:1"});
}

TEST_F(SenderTest, NakRequestGivesChecksumFrames) {
  EXPECT_EQ(Send("abc", kNakText), "Transferencia Ok");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].size(), 132u);
  EXPECT_EQ(frames[0].back(), '\x26');
}

struct BlockPlan {
  std::size_t size;
  std::string headers;  // S for a 128-byte block, X for a 1024-byte block
};

class SenderBlockPlan : public SenderTest, public ::testing::WithParamInterface<BlockPlan> {};

TEST_P(SenderBlockPlan, CutsBlocksAndPadsWithNul) {
  const BlockPlan& plan = GetParam();
  std::string content(plan.size, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('A' + i % 23);
  EXPECT_EQ(Send(content), "Transferencia Ok");
  std::string headers;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    headers += frames[i][0] == kStx ? 'X' : 'S';
    EXPECT_EQ(static_cast<unsigned char>(frames[i][1]), (i + 1) % 256);
    EXPECT_EQ(static_cast<unsigned char>(frames[i][2]), ((i + 1) % 256) ^ 0xFF);
  }
  EXPECT_EQ(headers, plan.headers);
  const std::string data = FramedData();
  EXPECT_EQ(data.substr(0, plan.size), content);
  EXPECT_EQ(data.find_first_not_of('\0', plan.size), std::string::npos);
  EXPECT_EQ(eots, 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SenderBlockPlan,
                         ::testing::Values(BlockPlan{0, "S"}, BlockPlan{1, "S"},
                                           BlockPlan{127, "S"}, BlockPlan{128, "S"},
                                           BlockPlan{895, "SSSSSSS"}, BlockPlan{896, "X"},
                                           BlockPlan{1024, "X"}, BlockPlan{1025, "XS"},
                                           BlockPlan{2944, "XXX"}, BlockPlan{3000, "XXX"},
                                           BlockPlan{2943, "XXSSSSSSS"}));

TEST_F(SenderTest, BlockNumbersWrapAfter255) {
  EXPECT_EQ(Send(std::string(257 * 1024, 'w')), "Transferencia Ok");
  ASSERT_EQ(frames.size(), 257u);
  EXPECT_EQ(frames[254].substr(1, 2), std::string("\xFF\x00", 2));
  EXPECT_EQ(frames[255].substr(1, 2), std::string("\x00\xFF", 2));
  EXPECT_EQ(frames[256].substr(1, 2), "\x01\xFE");
}

TEST_F(SenderTest, TenNaksAreAnsweredByResendingTheEleventhCancels) {
  answer = [](int, const std::string&) { return kNakText; };
  EXPECT_EQ(Send("abc"), "Tranferencia abortada");
  ASSERT_EQ(frames.size(), 11u);
  for (const std::string& f : frames) EXPECT_EQ(f, frames[0]);
  EXPECT_EQ(line.purges, 10);
  EXPECT_TRUE(Cancelled());
}

TEST_F(SenderTest, LoneCanFollowedBySilenceResendsTheFrame) {
  answer = [](int n, const std::string&) { return n == 1 ? kCanText : kAckText; };
  EXPECT_EQ(Send("abc"), "Transferencia Ok");
  EXPECT_EQ(frames.size(), 2u);
  EXPECT_EQ(line.purges, 0);
}

TEST_F(SenderTest, ThreeCansCancelWhetherSplitOrWhole) {
  // Split: one CAN, then two more within the follow-up reads.
  answer = [this](int, const std::string&) {
    line.Deliver(kCanText, Millis(1500));
    line.Deliver(kCanText, Millis(3000));
    return kCanText;
  };
  EXPECT_EQ(Send("abc"), "Tranferencia abortada");
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_TRUE(Cancelled());

  // Whole: a receiver's cancel arriving in one read (CAN x10, BS x10 as some send it).
  VirtualClock clock2;
  ScriptedLine line2(clock2);
  int frames2 = 0;
  line2.on_send = [&](const std::string& bytes) {
    if (bytes[0] == kSoh) {
      ++frames2;
      line2.Deliver(std::string(10, kCan) + std::string(10, kBs), Millis(50));
    }
  };
  line2.Deliver("C");
  EXPECT_EQ(SendFile(line2, "abc"), "Tranferencia abortada");
  EXPECT_EQ(frames2, 1);
  EXPECT_EQ(line2.sent.back().bytes, kSenderCancel);
}

TEST_F(SenderTest, SilentWaitsAndRefusalsCountTogether) {
  // Nineteen silent waits, then the ACK in the twentieth: the block goes through.
  answer = [this](int, const std::string&) {
    line.Deliver(kAckText, Millis(19 * 10000 + 5000));
    return std::string();
  };
  EXPECT_EQ(Send("abc"), "Transferencia Ok");
  EXPECT_EQ(frames.size(), 1u);

  // Ten silent waits and then a NAK make eleven unusable answers: the end.
  VirtualClock clock2;
  ScriptedLine line2(clock2);
  line2.on_send = [&](const std::string& b) {
    if (b[0] == kSoh) line2.Deliver(kNakText, Millis(10 * 10000 + 5000));
  };
  line2.Deliver("C");
  EXPECT_EQ(SendFile(line2, "abc"), "Tranferencia abortada");
  EXPECT_EQ(line2.sent.back().bytes, kSenderCancel);

  // Total silence: the 21st silent wait gives up, 210 s after the frame.
  VirtualClock clock3;
  ScriptedLine line3(clock3);
  line3.Deliver("C");
  EXPECT_EQ(SendFile(line3, "abc"), "Tranferencia abortada");
  ASSERT_EQ(line3.sent.size(), 2u);
  EXPECT_EQ(line3.sent[1].bytes, kSenderCancel);
  EXPECT_NEAR(line3.sent[1].at_ms - line3.sent[0].at_ms, 210000, 500);
}

TEST_F(SenderTest, UnansweredEotIsSentElevenTimesWithoutCancel) {
  eot_answer = [](int) { return std::string(); };
  EXPECT_EQ(Send("abc"), "Tranferencia abortada");
  EXPECT_EQ(eots, 11);
  std::vector<long long> times;
  for (const auto& s : line.sent)
    if (s.bytes == std::string(1, kEot)) times.push_back(s.at_ms);
  for (std::size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 10000, 20);
  EXPECT_EQ(line.sent.back().bytes, std::string(1, kEot));
}

TEST_F(SenderTest, NakToEotIsAnsweredWithAnotherEot) {
  eot_answer = [](int n) { return n == 1 ? kNakText : kAckText; };
  EXPECT_EQ(Send("abc"), "Transferencia Ok");
  EXPECT_EQ(eots, 2);
}

TEST_F(SenderTest, BytesBehindTheFinalAckAreHandedBack) {
  eot_answer = [](int) { return kAckText + "ACK!\r"; };
  EXPECT_EQ(Send("abc"), "Transferencia Ok");
  EXPECT_EQ(line.Inbox(), "ACK!\r");
}

TEST_F(SenderTest, RequestWait) {
  struct Row {
    const char* name;
    std::vector<std::pair<int, std::string>> peer;  // (ms, bytes) delivered before frames
    std::string result;
    long long cancel_at_ms;  // -1: no cancel expected
  };
  const std::vector<Row> rows = {
      {"five silent waits", {}, "Tranferencia abortada", 50000},
      {"CAN as request", {{3000, kCanText}}, "Tranferencia abortada", 3000},
      {"noise then C", {{1000, "xyz"}, {45000, "C"}}, "Transferencia Ok", -1},
      {"endless noise", {}, "Tranferencia abortada", 60000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    VirtualClock c;
    ScriptedLine l(c);
    l.on_send = [&](const std::string& b) {
      if (b[0] == kSoh || b[0] == kEot) l.Deliver(kAckText, Millis(20));
    };
    for (const auto& [ms, bytes] : row.peer) l.Deliver(bytes, Millis(ms));
    if (std::string(row.name) == "endless noise")
      for (int ms = 500; ms < 120000; ms += 5000) l.Deliver("+++", Millis(ms));
    EXPECT_EQ(SendFile(l, "abc"), row.result);
    if (row.cancel_at_ms >= 0) {
      ASSERT_EQ(l.sent.size(), 1u);
      EXPECT_EQ(l.sent[0].bytes, kSenderCancel);
      EXPECT_NEAR(l.sent[0].at_ms, row.cancel_at_ms, 5100);
    }
  }
}

TEST_F(SenderTest, CarrierLossBetweenBlocksGivesSinTono) {
  answer = [this](int n, const std::string&) {
    if (n == 2) line.carrier_lost = true;
    return kAckText;
  };
  EXPECT_EQ(Send(std::string(3000, 'x')), "Sin Tono!");
  EXPECT_EQ(frames.size(), 2u);
  EXPECT_TRUE(Cancelled());
}

TEST_F(SenderTest, ReadErrorWhileWaitingForAnswerCancels) {
  answer = [this](int, const std::string&) {
    line.read_fails = true;
    return std::string();
  };
  EXPECT_EQ(Send("abc"), "Tranferencia abortada");
  EXPECT_TRUE(Cancelled());
}

}  // namespace
}  // namespace marvolen
