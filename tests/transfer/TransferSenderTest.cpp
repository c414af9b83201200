#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/transfer/TransferScriptedPeer.h"
#include "transfer/BlockFrame.h"
#include "transfer/TransferSender.h"

namespace marvolen {
namespace {

using namespace block;
using testing::ScriptedTransferLine;
const std::string kA(1, kAck), kN(1, kNak), kC(1, kCan), kE(1, kEot);

// The receiver's reply to the n-th frame transmission or the n-th EOT; "" is silence.
using Reply = std::function<std::string(ScriptedTransferLine&, int n)>;
const Reply kAckAll = [](ScriptedTransferLine&, int) { return kA; };

struct Outcome {
  std::string result;
  std::vector<std::string> frames;
  int eots = 0;
  std::vector<std::string> panels;
  std::vector<std::string> blocks;  // number:size:mode:answer
  TransferEnd end = TransferEnd::kFailed;
  std::uint64_t moved = 0;
};

// Our sender against a receiver that asks with `request` at 100 ms and answers as told.
Outcome Send(ScriptedTransferLine& line, std::string_view content, const std::string& request = "C",
             Reply frame_reply = kAckAll, Reply eot_reply = kAckAll,
             const TransferBounds& bounds = {}) {
  Outcome run;
  line.on_send = [&](const std::string& b) {
    std::string reply;
    if (b == kE) reply = eot_reply(line, ++run.eots);
    if (b[0] == kSoh || b[0] == kStx) {
      run.frames.push_back(b);
      reply = frame_reply(line, static_cast<int>(run.frames.size()));
    }
    if (!reply.empty()) line.Deliver(reply);
  };
  if (!request.empty()) line.Deliver(request, Millis(100));
  TransferSinks sinks;
  sinks.panel = [&](int i, std::string_view t) {
    run.panels.push_back(std::to_string(i) + ":" + std::string(t));
  };
  sinks.block = [&](const BlockNote& b) {
    run.blocks.push_back(std::to_string(b.number) + ":" + std::to_string(b.size) +
                         (b.crc ? ":crc:" : ":sum:") + b.answer);
  };
  const TransferOutcome outcome = SendFile(line, content, sinks, bounds);
  run.result = outcome.result;
  run.end = outcome.end;
  run.moved = outcome.moved;
  return run;
}

TEST(SendFile, AbcInCrcAndChecksumMode) {
  VirtualClock clock;
  ScriptedTransferLine line(clock);
  Outcome run = Send(line, "abc");
  std::string frame =
      "\x01\x01\xFE"
      "abc" +
      std::string(125, '\0') + "\xC5\x78";
  EXPECT_EQ(run.result, "Transferencia Ok");
  EXPECT_EQ(run.frames, std::vector<std::string>{frame});
  EXPECT_EQ(line.sent.back().bytes, kE);
  EXPECT_EQ(run.panels, std::vector<std::string>{"3:1"});

  ScriptedTransferLine line2(clock);
  run = Send(line2, "abc", kN);
  frame.resize(131);
  EXPECT_EQ(run.frames, std::vector<std::string>{frame + "\x26"});
}

// Sizes and the blocks they make: S for 128 bytes, X for 1024.
TEST(SendFile, BlockSizesNumbersAndNulPadding) {
  const std::vector<std::pair<std::size_t, std::string>> rows = {
      {0, "S"},    {1, "S"},     {127, "S"},          {128, "S"},    {895, "SSSSSSS"}, {896, "X"},
      {1024, "X"}, {1025, "XS"}, {2943, "XXSSSSSSS"}, {2944, "XXX"}, {3000, "XXX"}};
  for (const auto& [size, plan] : rows) {
    SCOPED_TRACE(size);
    VirtualClock clock;
    ScriptedTransferLine line(clock);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>('A' + i % 23);
    const Outcome run = Send(line, content);
    EXPECT_EQ(run.result, "Transferencia Ok");
    std::string headers, data;
    for (std::size_t i = 0; i < run.frames.size(); ++i) {
      const std::string& f = run.frames[i];
      headers += f[0] == kStx ? 'X' : 'S';
      EXPECT_EQ(f.substr(1, 2),
                BuildFrame(static_cast<unsigned>(i + 1), std::string(128, 0), CheckMode::kCrc)
                    .substr(1, 2));
      data += FrameData(f, f[0] == kStx ? 1024 : 128);
    }
    EXPECT_EQ(headers, plan);
    EXPECT_EQ(data.substr(0, size), content);
    EXPECT_EQ(data.find_first_not_of('\0', size), std::string::npos);
    EXPECT_EQ(run.eots, 1);
  }
}

TEST(SendFile, BlockNumbersWrapAndTrailingBytesAreHandedBack) {
  VirtualClock clock;
  ScriptedTransferLine line(clock);
  const Outcome run = Send(line, std::string(257 * 1024, 'w'), "C", kAckAll,
                           [](ScriptedTransferLine&, int) { return kA + "ACK!\r"; });
  ASSERT_EQ(run.frames.size(), 257u);
  EXPECT_EQ(run.frames[254].substr(1, 2), std::string("\xFF\x00", 2));
  EXPECT_EQ(run.frames[255].substr(1, 2), std::string("\x00\xFF", 2));
  EXPECT_EQ(run.frames[256].substr(1, 2), "\x01\xFE");
  EXPECT_EQ(line.Inbox(), "ACK!\r");
}

struct Scenario {
  const char* name;
  std::string request;
  Reply frame_reply, eot_reply;
  std::string result;
  std::size_t frames;
  int eots;
  bool cancelled;
  long long last_send_ms;  // when our last byte went out; -1: not checked
};

TEST(SendFile, RetriesAndGivingUp) {
  auto once = [](int when, std::string first) {
    return Reply([=](ScriptedTransferLine&, int n) { return n == when ? first : kA; });
  };
  auto later = [](std::string what, int ms) {
    return Reply(
        [=](ScriptedTransferLine& l, int) { return l.Deliver(what, Millis(ms)), std::string(); });
  };
  const Reply silent = [](ScriptedTransferLine&, int) { return std::string(); };
  const std::vector<Scenario> rows = {
      {"ten NAKs are resent, the 11th cancels", "C", [](ScriptedTransferLine&, int) { return kN; },
       kAckAll, "Tranferencia abortada", 11, 0, true, -1},
      {"lone CAN then silence resends", "C", once(1, kC), kAckAll, "Transferencia Ok", 2, 1, false,
       -1},
      {"CAN and two more within 4 s cancel", "C",
       [](ScriptedTransferLine& l, int) {
         return l.Deliver(kC, Millis(1500)), l.Deliver(kC, Millis(3000)), kC;
       },
       kAckAll, "Tranferencia abortada", 1, 0, true, 3200},
      {"a cancel in one read", "C", once(1, std::string(10, kCan) + std::string(10, kBs)), kAckAll,
       "Tranferencia abortada", 1, 0, true, -1},
      {"ACK in the 20th silent wait", "C", later(kA, 195000), kAckAll, "Transferencia Ok", 1, 1,
       false, -1},
      {"ten silent waits and a NAK", "C", later(kN, 105000), kAckAll, "Tranferencia abortada", 1, 0,
       true, 105200},
      {"the 21st silent wait", "C", silent, kAckAll, "Tranferencia abortada", 1, 0, true, 210100},
      {"EOT unanswered 11 times", "C", kAckAll, silent, "Tranferencia abortada", 1, 11, false,
       100150},
      {"NAK to EOT", "C", kAckAll, once(1, kN), "Transferencia Ok", 1, 2, false, -1},
      {"read error", "C",
       [](ScriptedTransferLine& l, int) { return l.read_fails = true, std::string(); }, kAckAll,
       "Tranferencia abortada", 1, 0, true, -1},
      {"no request in five waits", "", kAckAll, kAckAll, "Tranferencia abortada", 0, 0, true,
       50000},
      {"CAN as the request", kC, kAckAll, kAckAll, "Tranferencia abortada", 0, 0, true, 120},
  };
  for (const Scenario& s : rows) {
    SCOPED_TRACE(s.name);
    VirtualClock clock;
    ScriptedTransferLine line(clock);
    const Outcome run = Send(line, "abc", s.request, s.frame_reply, s.eot_reply);
    EXPECT_EQ(run.result, s.result);
    EXPECT_EQ(run.frames.size(), s.frames);
    EXPECT_EQ(run.eots, s.eots);
    EXPECT_EQ(line.sent.back().bytes == kSenderCancel, s.cancelled);
    if (s.last_send_ms >= 0) {
      EXPECT_NEAR(line.sent.back().at_ms, s.last_send_ms, 100);
    }
    if (s.frames > 1) {
      EXPECT_EQ(run.frames.back(), run.frames[0]);
    }
  }
}

TEST(SendFile, EveryAnswerIsNotedWithItsBlock) {
  VirtualClock clock;
  ScriptedTransferLine line(clock);
  const Outcome run = Send(line, std::string(1100, 'x'), "C",
                           [](ScriptedTransferLine&, int n) { return n == 2 ? kN : kA; });
  EXPECT_EQ(run.result, "Transferencia Ok");
  EXPECT_EQ(run.blocks,
            (std::vector<std::string>{"1:1024:crc:ACK", "2:128:crc:NAK", "2:128:crc:ACK"}));
  ScriptedTransferLine line2(clock);
  EXPECT_EQ(Send(line2, "abc", kN).blocks, std::vector<std::string>{"1:128:sum:ACK"});
}

TEST(SendFile, NakPurgesBeforeResending) {
  VirtualClock clock;
  ScriptedTransferLine line(clock);
  Send(line, "abc", "C", [](ScriptedTransferLine&, int) { return kN; });
  EXPECT_EQ(line.purges, 10);
}

TEST(SendFile, NoiseBeforeTheRequestIsIgnoredButNotForever) {
  VirtualClock clock;
  ScriptedTransferLine line(clock);
  line.Deliver("xyz", Millis(1000));
  EXPECT_EQ(Send(line, "abc", std::string()).result, "Tranferencia abortada");
  ScriptedTransferLine line2(clock);
  line2.Deliver("xyz", Millis(1000));
  line2.Deliver("C", Millis(45000));
  EXPECT_EQ(Send(line2, "abc", std::string()).result, "Transferencia Ok");
  // Flow-control bytes before the request are not noise, even in the request's read.
  VirtualClock clock4;
  ScriptedTransferLine line4(clock4);
  line4.Deliver("\x11\x13", Millis(500));
  line4.Deliver(
      "\x11\x13"
      "C",
      Millis(800));
  EXPECT_EQ(Send(line4, "abc", std::string()).result, "Transferencia Ok");
  EXPECT_NEAR(line4.sent[0].at_ms, 800, 20);
  // A line that never stops sending noise is given up after a minute.
  VirtualClock clock3;
  ScriptedTransferLine line3(clock3);
  for (int ms = 500; ms < 200000; ms += 5000) line3.Deliver("+++", Millis(ms));
  EXPECT_EQ(Send(line3, "abc", std::string()).result, "Tranferencia abortada");
  EXPECT_NEAR(line3.sent.back().at_ms, 60500, 100);
}

TEST(SendFile, CarrierLossBetweenBlocksIsSinTono) {
  VirtualClock clock;
  ScriptedTransferLine line(clock);
  const Outcome run = Send(line, std::string(3000, 'x'), "C", [](ScriptedTransferLine& l, int n) {
    l.carrier_lost = n == 2;
    return kA;
  });
  EXPECT_EQ(run.result, "Sin Tono!");
  EXPECT_EQ(run.frames.size(), 2u);
  EXPECT_EQ(line.sent.back().bytes, kSenderCancel);
}

// A receiver that hung up does not hold the station through the waits meant for a slow one:
// the carrier is looked at every second of every wait, and the first second after it went
// ends the transfer as "Sin Tono!".
TEST(SendFile, LostCarrierEndsTheWaits) {
  {
    SCOPED_TRACE("gone before the request");
    VirtualClock clock;
    ScriptedTransferLine line(clock);
    line.carrier_lost = true;
    const Outcome run = Send(line, "abc", std::string());
    EXPECT_EQ(run.result, "Sin Tono!");
    EXPECT_TRUE(run.frames.empty());
    EXPECT_EQ(line.sent.back().bytes, kSenderCancel);
    EXPECT_LT(line.sent.back().at_ms, 100);
  }
  {
    SCOPED_TRACE("gone while the request is awaited");
    VirtualClock clock;
    ScriptedTransferLine line(clock);
    clock.At(Millis(15000), [&line] { line.carrier_lost = true; });
    const Outcome run = Send(line, "abc", std::string());
    EXPECT_EQ(run.result, "Sin Tono!");
    EXPECT_EQ(line.sent.back().bytes, kSenderCancel);
    EXPECT_NEAR(line.sent.back().at_ms, 15000, 100);
  }
  {
    SCOPED_TRACE("gone while a block's answer is awaited");
    VirtualClock clock;
    ScriptedTransferLine line(clock);
    const Outcome run = Send(line, "abc", "C", [](ScriptedTransferLine& l, int) {
      return l.carrier_lost = true, std::string();
    });
    EXPECT_EQ(run.result, "Sin Tono!");
    EXPECT_EQ(run.frames.size(), 1u);
    EXPECT_EQ(line.sent.back().bytes, kSenderCancel);
    EXPECT_LE(line.sent.back().at_ms, 1100);  // within a second of the frame
  }
  {
    SCOPED_TRACE("gone after the last block");
    VirtualClock clock;
    ScriptedTransferLine line(clock);
    const Reply gone = [](ScriptedTransferLine& l, int) {
      return l.carrier_lost = true, std::string();
    };
    const Outcome run = Send(line, "abc", "C", kAckAll, gone);
    EXPECT_EQ(run.result, "Sin Tono!");
    EXPECT_EQ(run.eots, 1);
    EXPECT_LT(clock.ElapsedSinceStart(), 1200);
  }
}

// A receiver that acknowledges a block every 5 s would hold the station for as long as the
// file lasts: a stop or the call's total bound cancels the sending within a second, with the
// cancel sequence, and says how much the receiver had acknowledged.
TEST(SendFile, StopAndDeadlineCancelTheSendingAtOnce) {
  const Reply slow = [](ScriptedTransferLine& l, int) { return l.Deliver(kA, Millis(5000)), ""; };
  for (const bool stopping : {true, false}) {
    SCOPED_TRACE(stopping ? "stop" : "deadline");
    VirtualClock clock;
    ScriptedTransferLine line(clock);
    bool stop = false;
    TransferBounds bounds;
    bounds.stop = StopRequest([&stop] { return stop; });
    // A line of no known speed: the moved bytes add nothing to the call's allowance.
    CallProgress progress;
    const Millis allowance = stopping ? std::chrono::minutes(30) : Millis(12500);
    progress.Start(clock.Now(), {std::chrono::minutes(5), allowance, 0});
    bounds.progress = &progress;
    if (stopping) clock.At(Millis(12500), [&stop] { stop = true; });
    const Outcome run = Send(line, std::string(20000, 'x'), "C", slow, kAckAll, bounds);
    EXPECT_EQ(run.result, stopping ? kTransferStopped : kTransferOutOfTime);
    EXPECT_EQ(run.end, stopping ? TransferEnd::kStopped : TransferEnd::kOutOfTime);
    EXPECT_EQ(run.frames.size(), 3u);
    EXPECT_EQ(run.moved, 2048u);         // the first two blocks were acknowledged
    EXPECT_EQ(progress.Bytes(), 2048u);  // and reported to the call as they were
    EXPECT_EQ(line.sent.back().bytes, kSenderCancel);
    EXPECT_NEAR(line.sent.back().at_ms, 13100, 50);
  }
}

}  // namespace
}  // namespace marvolen
