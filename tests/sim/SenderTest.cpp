// The office's sender against a scripted receiver on the virtual clock.
#include <gtest/gtest.h>

#include <deque>

#include "transfer/BlockFrame.h"
#include "platform/Clock.h"
#include "sim/OfficeSender.h"

namespace marvolen::office {
namespace {

using namespace block;

// Answers each thing the sender sends with the next scripted reply ("" = silence) and
// records every frame.
class ScriptedReceiver final : public TransferLine {
 public:
  explicit ScriptedReceiver(std::deque<std::string> replies) : replies_(std::move(replies)) {}

  std::vector<std::string> sent;
  std::string held;
  bool ack_everything = false;  // after the script: ACK every frame and the EOT
  bool carrier = true;

  void SendText(std::string_view bytes) override { sent.emplace_back(bytes); }
  std::string ReceiveText(int seconds) override {
    std::string reply;
    if (!replies_.empty()) {
      reply = replies_.front();
      replies_.pop_front();
    } else if (ack_everything) {
      reply = std::string(1, kAck);
    }
    if (reply.empty()) clock_.Advance(Millis(1000LL * seconds));
    return reply;
  }
  std::string ReadErrorText() const override { return {}; }
  bool CarrierLost() override { return !carrier; }
  void PurgeInput() override {}
  void PurgeAll() override {}
  void Unread(std::string_view bytes) override { held.insert(0, bytes); }
  Clock& LineClock() override { return clock_; }

  VirtualClock clock_;

 private:
  std::deque<std::string> replies_;
};

// The frames a file of `size` bytes goes out in, as (block size, padding) pairs.
std::vector<std::pair<std::size_t, std::size_t>> Frames(std::size_t size) {
  ScriptedReceiver rx(
      {"\x11\x13"
       "C"});
  rx.ack_everything = true;
  EXPECT_EQ(SendBlocks(rx, std::string(size, 'a')), "Transferencia Ok");
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (const std::string& f : rx.sent) {
    if (f.size() < 133) continue;  // EOT
    const std::string data = f.substr(3, f.size() - 5);
    const std::size_t last = data.find_last_not_of('\0');
    out.emplace_back(data.size(), last == std::string::npos ? data.size() : data.size() - last - 1);
  }
  return out;
}

TEST(SenderTest, PaddingNeverExceeds127Bytes) {
  using V = std::vector<std::pair<std::size_t, std::size_t>>;
  EXPECT_EQ(Frames(3), (V{{128, 125}}));
  EXPECT_EQ(Frames(897), (V{{1024, 127}}));
  EXPECT_EQ(Frames(896), V(7, {128, 0}));
  V f895(6, {128, 0});
  f895.push_back({128, 1});
  EXPECT_EQ(Frames(895), f895);
  EXPECT_EQ(Frames(3000), (V{{1024, 0}, {1024, 0}, {1024, 72}}));
  V f2944{{1024, 0}, {1024, 0}};
  f2944.insert(f2944.end(), 7, {128, 0});
  EXPECT_EQ(Frames(2944), f2944);
}

TEST(SenderTest, FramesInBothCheckModesAndEot) {
  ScriptedReceiver crc({"\x11\x13", "C", "\x06", "\x06"});
  EXPECT_EQ(SendBlocks(crc, "abc"), "Transferencia Ok");
  ASSERT_EQ(crc.sent.size(), 2u);
  std::string expected =
      "\x01\x01\xFE"
      "abc" +
      std::string(125, '\0') + "\xC5\x78";
  EXPECT_EQ(crc.sent[0], expected);
  EXPECT_EQ(crc.sent[1], "\x04");

  ScriptedReceiver sum({"\x15", "\x06", "\x06"});
  EXPECT_EQ(SendBlocks(sum, "abc"), "Transferencia Ok");
  EXPECT_EQ(sum.sent[0].size(), 132u);
  EXPECT_EQ(sum.sent[0].back(), '\x26');
}

TEST(SenderTest, RefusedOrUnansweredFramesAreSentAgain) {
  ScriptedReceiver rx({"C", "\x15", "", "C", "\x06", "\x06"});
  EXPECT_EQ(SendBlocks(rx, "abc"), "Transferencia Ok");
  ASSERT_EQ(rx.sent.size(), 5u);  // the frame four times, then EOT
  for (int i = 1; i < 4; ++i) EXPECT_EQ(rx.sent[i], rx.sent[0]);
}

TEST(SenderTest, BytesBehindTheLastAckGoBackToTheLine) {
  ScriptedReceiver rx({"C", "\x06", "\x06next\r"});
  EXPECT_EQ(SendBlocks(rx, "abc"), "Transferencia Ok");
  EXPECT_EQ(rx.held, "next\r");
}

TEST(SenderTest, FailuresCancelOrReportTheLostCarrier) {
  // No request within six 10-second waits.
  ScriptedReceiver silent({});
  EXPECT_EQ(SendBlocks(silent, "abc"), "Tranferencia abortada");
  EXPECT_EQ(silent.sent.back(), kSenderCancel);
  EXPECT_EQ(silent.clock_.ElapsedSinceStart(), 60000);

  // Eleven refusals of one block.
  std::deque<std::string> naks(11, std::string(1, kNak));
  naks.push_front("C");
  ScriptedReceiver refusing(naks);
  EXPECT_EQ(SendBlocks(refusing, "abc"), "Tranferencia abortada");
  EXPECT_EQ(refusing.sent.size(), 12u);  // 11 frames and the cancel

  ScriptedReceiver cancelling({"C", "\x18\x18"});
  EXPECT_EQ(SendBlocks(cancelling, "abc"), "Tranferencia abortada");

  ScriptedReceiver dropped({"C"});
  dropped.carrier = false;
  EXPECT_EQ(SendBlocks(dropped, "abc"), "Sin Tono!");
}

}  // namespace
}  // namespace marvolen::office
