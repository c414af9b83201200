// The text layer on the configured port: SendText, ReceiveText, SendModemCommand and
// CarrierLost, with their log lines, on the virtual clock.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "link/SerialLine.h"
#include "link/testing/ScriptedLine.h"

namespace marvolen {
namespace {

using testing::DeviceCall;
using testing::ScriptedLine;

struct Station {
  VirtualClock clock;
  ScriptedLine line{clock};
  std::vector<std::string> log;
  SerialLine serial{clock, line.Opener(2), [this](std::string_view l) { log.emplace_back(l); }};

  Station() {
    serial.SetConfiguredPort(2);
    EXPECT_EQ(serial.OpenPort(2, 9600, kNoParity, 8, kOneStopBit), "");
  }
  long long Since(MonoTime start) const { return ElapsedMs(start, clock.Now()); }
};

using Lines = std::vector<std::string>;

TEST(TextSend, WritesWithTheCtsCheckAndLogsFailures) {
  Station s;
  s.serial.SendText("");
  EXPECT_EQ(s.line.Calls(DeviceCall::kModemStatus), 0);
  s.serial.SendText(std::string("\x9e\x00\r", 3));
  EXPECT_EQ(s.line.Written(), std::string("\x9e\x00\r", 3));
  s.line.SetCts(false);
  s.serial.SendText("x");
  EXPECT_EQ(s.log, Lines{"*ERROR WRITE: ERROR, CTS OFF EN COM2. "});
  EXPECT_EQ(s.line.Written().size(), 3u);
}

TEST(TextReceive, SilentLineWaitsTheWholeTimeQuietly) {
  Station s;
  const MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReceiveText(4), "");
  EXPECT_EQ(s.Since(start), 4000);
  EXPECT_TRUE(s.log.empty());
  EXPECT_EQ(s.serial.ReadErrorText(), "");
}

TEST(TextReceive, ReturnsAsSoonAsBytesArrive) {
  Station s;
  s.line.SendAfter(Millis(1500), "\x06");
  const MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReceiveText(10), "\x06");
  EXPECT_EQ(s.Since(start), 1500);
}

TEST(TextReceive, TakesWhatHasArrivedInOneRead) {
  Station s;
  s.line.SetPace(9600);
  s.line.Send("0123456789");  // arrives over about 10 ms
  s.clock.Advance(Millis(5));
  EXPECT_EQ(s.serial.ReceiveText(2), "0123");
  // The next byte arrives at 5.2 ms; the wait ends with it, not with the whole frame.
  EXPECT_EQ(s.serial.ReceiveText(2), "4");
}

TEST(TextReceive, AReadErrorEndsTheWaitWithOneLogLine) {
  Station s;
  s.line.Send("abc");
  s.line.Fail(DeviceCall::kRead, EIO);
  const MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReceiveText(8), "");
  EXPECT_EQ(s.Since(start), 0);
  EXPECT_EQ(s.serial.ReadErrorText(), "ERROR LEYENDO COM2. 5: Input/output error. ");
  EXPECT_EQ(s.log, Lines{"*ERROR Recibiendo dato: ERROR LEYENDO COM2. 5: Input/output error. "});
  // The next wait starts with a clean error text.
  EXPECT_EQ(s.serial.ReceiveText(1), "abc");
  EXPECT_EQ(s.serial.ReadErrorText(), "");
}

TEST(TextReceive, AnUnknownPortIsRefused) {
  Station s;
  s.serial.SetConfiguredPort(7);
  EXPECT_EQ(s.serial.ReceiveText(2), "");
  EXPECT_EQ(s.log, Lines{"*ERROR Recibiendo dato: ERROR, COM7 NOT AVAILABLE. "});
}

TEST(TextReceive, HandedBackBytesComeFirstUntilPurged) {
  Station s;
  s.line.Send("new");
  s.serial.Unread("ACK");
  EXPECT_EQ(s.serial.ClearPortErrors(2), "");
  EXPECT_EQ(s.serial.ConfiguredEntry()->status.cbInQue, 6u);
  EXPECT_EQ(s.serial.ReceiveText(1), "ACKnew");
  // A failed read loses nothing that was handed back.
  s.serial.Unread("kept");
  s.line.Send("z");
  s.line.Fail(DeviceCall::kRead, EIO);
  EXPECT_EQ(s.serial.ReceiveText(1), "");
  const MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReceiveText(5), "keptz");
  EXPECT_EQ(s.Since(start), 0);
  s.serial.Unread("gone");
  EXPECT_EQ(s.serial.PurgeInput(2), "");
  EXPECT_EQ(s.serial.ReceiveText(1), "");
}

TEST(TextModemCommand, SendsOneBytePer20msThenListensTwoSeconds) {
  Station s;
  const MonoTime start = s.clock.Now();
  s.serial.SendModemCommand("ATZ");
  const auto& writes = s.line.Writes();
  ASSERT_EQ(writes.size(), 4u);
  const char expected[] = {'A', 'T', 'Z', '\r'};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(writes[i].bytes, std::string(1, expected[i]));
    EXPECT_EQ(ElapsedMs(start, writes[i].at), 20 * static_cast<long long>(i + 1));
  }
  EXPECT_EQ(s.Since(start), 80 + 2000);
  EXPECT_TRUE(s.log.empty());
}

TEST(TextModemCommand, ShowsOneLinePerAnswerLine) {
  Station s;
  s.line.AnswerAtCommands(true);  // echo, then CR LF OK CR LF
  s.serial.SendModemCommand("AT S0=1");
  EXPECT_EQ(s.log, (Lines{"AT S0=1", "OK"}));
  EXPECT_EQ(s.serial.LineBuffer(), "");
}

TEST(TextModemCommand, KeepsWhatIsLeftAndDropsWriteErrors) {
  Station s;
  s.line.OnWrite([&](std::string_view bytes) {
    if (bytes == "\r") s.line.SendAfter(Millis(100), "\r\nOK\r\n\r\nRI");
  });
  s.line.SendAfter(Millis(5000), "NG\r");
  s.line.Fail(DeviceCall::kStartWrite, EIO);
  s.serial.SendModemCommand("AT");
  EXPECT_EQ(s.line.Written(), "T\r");  // the failed 'A' was not retried, and not shown
  EXPECT_EQ(s.log, Lines{"OK"});
  EXPECT_EQ(s.serial.LineBuffer(), "RI");
}

TEST(TextModemCommand, ShowsAnswerBytesAsText) {
  Station s;
  s.line.OnWrite([&](std::string_view bytes) {
    if (bytes == "\r") s.line.Send("\r\nCAF\xc9\r\n");
  });
  s.serial.SendModemCommand("ATI");
  EXPECT_EQ(s.log, Lines{"CAFÉ"});
}

TEST(TextCarrier, FollowsCarrierDetect) {
  Station s;
  EXPECT_TRUE(s.serial.CarrierLost());
  s.line.SetCarrier(true);
  EXPECT_FALSE(s.serial.CarrierLost());
  s.line.SetCarrierAfter(Millis(300), false);
  s.clock.Advance(Millis(299));
  EXPECT_FALSE(s.serial.CarrierLost());
  s.clock.Advance(Millis(1));
  EXPECT_TRUE(s.serial.CarrierLost());
  EXPECT_TRUE(s.log.empty());
}

TEST(TextCarrier, AFailedStatusReadIsLoggedAndKeepsTheLastStatus) {
  Station s;
  s.line.SetCarrier(true);
  ASSERT_FALSE(s.serial.CarrierLost());
  s.line.Fail(DeviceCall::kModemStatus, EIO);
  s.line.SetCarrier(false);
  EXPECT_FALSE(s.serial.CarrierLost());
  EXPECT_EQ(s.log, Lines{"*ERROR Estado del Módem: ERROR LEYENDO ESTADO DEL MODEM EN COM2. 5: "
                         "Input/output error. "});
}

}  // namespace
}  // namespace marvolen
