// The modem emulator's logic behind the driver, with a scripted caller, on the virtual
// clock: AT commands and their answers, ringing and answering, the call's data, the ways a
// call ends, pacing and a failing line.
#include <gtest/gtest.h>

#include <optional>

#include <string>
#include <vector>

#include "link/HayesModem.h"
#include "link/SerialLine.h"
#include "link/testing/ScriptedLine.h"
#include "tests/link/ModemProbe.h"

namespace marvolen {
namespace {

using Lines = std::vector<std::string>;
using testing::ScriptedModemLine;

struct Station {
  VirtualClock clock;
  ScriptedModemLine phone;
  Lines log;
  SerialLine serial{clock, phone.Opener(1), [this](std::string_view l) { log.emplace_back(l); }};

  explicit Station(bool paced = false) : phone(clock, paced) {
    serial.SetConfiguredPort(1);
    EXPECT_EQ(serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit), "");
    EXPECT_EQ(serial.PurgeAll(1), "");
    EXPECT_EQ(serial.SetPortLines(1, kSetRts), "");
    EXPECT_EQ(serial.SetPortLines(1, kSetDtr), "");
  }
  // Sends the command and hands back the log lines it produced.
  Lines Command(std::string_view command) {
    log.clear();
    serial.SendModemCommand(command);
    return log;
  }
  // The controller's initialisation: reset, hang up on DTR drop, answer at the first ring.
  void Initialise() {
    EXPECT_EQ(Command("ATZ"), (Lines{"ATZ", "OK"}));
    EXPECT_EQ(Command("AT&D2"), (Lines{"AT&D2", "OK"}));
    EXPECT_EQ(Command("AT S0=1"), (Lines{"AT S0=1", "OK"}));
  }
  // Reads what the modem has sent for `seconds`.
  std::string Drain(int seconds) {
    std::string all;
    const MonoTime end = clock.Now() + std::chrono::seconds(seconds);
    while (clock.Now() < end) all += serial.ReceiveText(1);
    return all;
  }
  // Dials and waits for the answer; the virtual milliseconds from the dial to the carrier.
  long long Connect() {
    EXPECT_TRUE(phone.Dial());
    return AwaitCarrier();
  }
  long long AwaitCarrier() {
    const MonoTime start = clock.Now();
    while (serial.CarrierLost() && ElapsedMs(start, clock.Now()) < 60000) {
      clock.Advance(Millis(10));
    }
    return ElapsedMs(start, clock.Now());
  }
  HayesModem& Modem() { return *phone.Modem(); }
};

struct CommandRow {
  const char* command;
  Lines answer;
};

void PrintTo(const CommandRow& row, std::ostream* os) {
  *os << row.command;
}

class ModemCommand : public ::testing::TestWithParam<CommandRow> {};

TEST_P(ModemCommand, AnswersLikeAHayesModem) {
  Station s;
  EXPECT_EQ(s.Command(GetParam().command), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ModemCommand,
    ::testing::Values(
        CommandRow{"AT", {"AT", "OK"}}, CommandRow{"ATZ", {"ATZ", "OK"}},
        CommandRow{"at s0 = 3", {"at s0 = 3", "OK"}},
        CommandRow{"ATI", {"ATI", "MARVOLEN TCP MODEM", "OK"}},

        CommandRow{"ATS7?", {"ATS7?", "050", "OK"}},
        CommandRow{"ATS0=2S0?", {"ATS0=2S0?", "002", "OK"}},
        CommandRow{"ATM1L2X4", {"ATM1L2X4", "OK"}}, CommandRow{"noise AT", {"noise AT", "OK"}},
        CommandRow{"ATA", {"ATA", "NO CARRIER"}}, CommandRow{"ATH", {"ATH", "OK"}},
        CommandRow{"ATY", {"ATY", "ERROR"}}, CommandRow{"ATD5551234", {"ATD5551234", "ERROR"}},
        CommandRow{"ATE2", {"ATE2", "ERROR"}}, CommandRow{"AT&D4", {"AT&D4", "ERROR"}},
        CommandRow{"ATS256=1", {"ATS256=1", "ERROR"}},
        CommandRow{"ATS0=256", {"ATS0=256", "ERROR"}}, CommandRow{"ATS0", {"ATS0", "ERROR"}}));

TEST(ModemCommands, SettingsTakeEffectAndResetRestoresThem) {
  Station s;
  EXPECT_EQ(s.Command("ATE0S0=1&D2"), (Lines{"ATE0S0=1&D2", "OK"}));
  EXPECT_FALSE(ModemProbe::Echo(s.Modem()));
  EXPECT_EQ(ModemProbe::Register(s.Modem(), 0), 1);
  EXPECT_EQ(ModemProbe::DtrMode(s.Modem()), 2);
  EXPECT_EQ(s.Command("ATS0?"), (Lines{"001", "OK"}));  // no echo any more
  EXPECT_EQ(s.Command("ATZ"), (Lines{"OK"}));
  EXPECT_TRUE(ModemProbe::Echo(s.Modem()));
  EXPECT_EQ(ModemProbe::Register(s.Modem(), 0), 0);
  EXPECT_EQ(ModemProbe::DtrMode(s.Modem()), 0);
  // An error stops the line; what came before it stays done.
  EXPECT_EQ(s.Command("ATS0=4E0Q"), (Lines{"ATS0=4E0Q", "ERROR"}));
  EXPECT_EQ(ModemProbe::Register(s.Modem(), 0), 4);
  EXPECT_FALSE(ModemProbe::Echo(s.Modem()));
  EXPECT_EQ(s.Command("AT&F"), (Lines{"OK"}));
  EXPECT_TRUE(ModemProbe::Echo(s.Modem()));
}

TEST(ModemCommands, OverlongLineAndBackspace) {
  Station s;
  EXPECT_EQ(s.Command("AT" + std::string(300, 'S')).back(), "ERROR");
  s.serial.SendModemCommand("ATS0=9\b2");
  EXPECT_EQ(ModemProbe::Register(s.Modem(), 0), 2);
  EXPECT_EQ(s.log.back(), "OK");
}

TEST(ModemCalls, NotSetToAnswerRefusesTheCaller) {
  Station s;
  EXPECT_EQ(s.Command("ATZ"), (Lines{"ATZ", "OK"}));
  EXPECT_FALSE(s.phone.Dial());
  EXPECT_EQ(s.Command("AT&D2S0=1"), (Lines{"AT&D2S0=1", "OK"}));
  EXPECT_EQ(s.serial.SetPortLines(1, kClrDtr), "");
  EXPECT_FALSE(s.phone.Dial());  // DTR off: the terminal is not ready
  EXPECT_EQ(s.serial.SetPortLines(1, kSetDtr), "");
  EXPECT_TRUE(s.phone.Dial());
}

TEST(ModemCalls, AnswersAtTheFirstRingWithinTwoSeconds) {
  Station s;
  s.Initialise();
  ASSERT_TRUE(s.phone.Dial());
  EXPECT_EQ(s.serial.ReceiveText(1), "\r\nRING\r\n");
  EXPECT_TRUE(s.serial.CarrierLost());
  const long long answered = s.AwaitCarrier();
  EXPECT_LE(answered, 2000);
  EXPECT_GE(answered, 400);
  EXPECT_EQ(s.serial.ReceiveText(1), "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(s.phone.CallerReceived(), "");  // modem messages never reach the caller
}

TEST(ModemCalls, RingsS0TimesBeforeAnswering) {
  Station s;
  s.Initialise();
  EXPECT_EQ(s.Command("ATS0=3"), (Lines{"ATS0=3", "OK"}));
  ASSERT_TRUE(s.phone.Dial());
  const MonoTime start = s.clock.Now();
  std::string heard;
  while (s.serial.CarrierLost()) {
    heard += s.serial.ReceiveText(1);
  }
  const long long answered = ElapsedMs(start, s.clock.Now());
  EXPECT_GE(answered, 12500);
  EXPECT_LE(answered, 13500);
  heard += s.Drain(1);
  EXPECT_EQ(heard, "\r\nRING\r\n\r\nRING\r\n\r\nRING\r\n\r\nCONNECT 9600\r\n");
  EXPECT_FALSE(s.phone.Dial());  // a second caller while one is on the line
}

TEST(ModemCalls, CarriesTheCallsBytesBothWaysUnchanged) {
  Station s;
  s.Initialise();
  s.Connect();
  s.Drain(1);
  const std::string binary("Ident=\x00\xff\r\n+++ATH\r", 18);
  s.phone.CallerSend(binary);
  EXPECT_EQ(s.serial.ReceiveText(2), binary);
  s.serial.SendText("ATH\r\x9e");
  EXPECT_EQ(s.phone.TakeCallerReceived(), "ATH\r\x9e");
  EXPECT_FALSE(s.serial.CarrierLost());  // data, not a command
  EXPECT_TRUE(s.phone.CallerConnected());
}

TEST(ModemCalls, CallerHangingUpDropsTheCarrier) {
  Station s;
  s.Initialise();
  s.Connect();
  s.Drain(1);
  s.phone.CallerHangUp();
  EXPECT_TRUE(s.serial.CarrierLost());
  EXPECT_EQ(s.serial.ReceiveText(1), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(s.Command("AT"), (Lines{"AT", "OK"}));  // back to commands
  EXPECT_TRUE(s.phone.Dial());                      // and answering again
}

TEST(ModemCalls, DtrDropHangsUpOnlyWithAndD2) {
  Station s;
  s.Initialise();
  s.Connect();
  EXPECT_EQ(s.serial.SetPortLines(1, kClrDtr), "");
  EXPECT_TRUE(s.serial.CarrierLost());
  EXPECT_FALSE(s.phone.CallerConnected());
  EXPECT_EQ(s.phone.HangUps(), 1);

  EXPECT_EQ(s.serial.SetPortLines(1, kSetDtr), "");
  EXPECT_EQ(s.Command("AT&D0").back(), "OK");
  s.Connect();
  EXPECT_EQ(s.serial.SetPortLines(1, kClrDtr), "");
  EXPECT_FALSE(s.serial.CarrierLost());
  EXPECT_TRUE(s.phone.CallerConnected());
}

TEST(ModemCalls, DtrDropWithAndD1LeavesTheCallForCommands) {
  Station s;
  s.Initialise();
  EXPECT_EQ(s.Command("AT&D1").back(), "OK");
  s.Connect();
  s.Drain(1);
  EXPECT_EQ(s.serial.SetPortLines(1, kClrDtr), "");
  EXPECT_EQ(s.serial.ReceiveText(1), "\r\nOK\r\n");
  EXPECT_FALSE(s.serial.CarrierLost());
  s.phone.CallerSend("lost");  // nobody passes it on in command mode
  EXPECT_EQ(s.Command("ATO"), (Lines{"ATO", "CONNECT 9600"}));
  s.phone.CallerSend("kept");
  EXPECT_EQ(s.serial.ReceiveText(1), "kept");
  EXPECT_EQ(s.serial.SetPortLines(1, kSetDtr), "");
  EXPECT_EQ(s.serial.SetPortLines(1, kClrDtr), "");
  s.Drain(1);
  EXPECT_EQ(s.Command("ATH"), (Lines{"ATH", "OK"}));
  EXPECT_FALSE(s.phone.CallerConnected());
  EXPECT_TRUE(s.serial.CarrierLost());
}

TEST(ModemCalls, ClosingThePortHangsUp) {
  Station s;
  s.Initialise();
  s.Connect();
  EXPECT_EQ(s.serial.ClosePort(1), "");
  EXPECT_FALSE(s.phone.CallerConnected());
  EXPECT_EQ(s.phone.HangUps(), 1);
  EXPECT_FALSE(s.phone.Dial());  // no modem listening
  // A reopened port is a modem fresh from power-on: not answering until told to.
  ASSERT_EQ(s.serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit), "");
  EXPECT_FALSE(s.phone.Dial());
}

TEST(ModemCalls, CallerLeavingWhileRingingEndsTheRinging) {
  Station s;
  s.Initialise();
  EXPECT_EQ(s.Command("ATS0=2").back(), "OK");
  ASSERT_TRUE(s.phone.Dial());
  s.phone.CallerHangUp();
  EXPECT_EQ(s.Drain(20), "\r\nRING\r\n");
  EXPECT_EQ(s.Modem().CurrentState(), HayesModem::State::kIdle);
  EXPECT_TRUE(s.phone.Dial());
  EXPECT_EQ(s.Command("ATA"), (Lines{"RING", "ATA", "CONNECT 9600"}));
}

TEST(ModemPacing, BytesTakeTenBitTimesEach) {
  Station s(/*paced=*/true);
  s.Initialise();
  s.Connect();
  s.Drain(1);
  s.phone.CallerSend(std::string(960, 'x'));  // one second at 9600 bit/s
  const MonoTime start = s.clock.Now();
  std::string got;
  while (got.size() < 960 && ElapsedMs(start, s.clock.Now()) < 5000) got += s.serial.ReceiveText(2);
  EXPECT_EQ(got.size(), 960u);
  EXPECT_NEAR(static_cast<double>(ElapsedMs(start, s.clock.Now())), 1000.0, 2.0);

  const MonoTime sent = s.clock.Now();
  EXPECT_EQ(s.serial.WritePort(1, std::string(96, 'y'), true), "");
  EXPECT_NEAR(static_cast<double>(ElapsedMs(sent, s.clock.Now())), 100.0, 1.0);
  EXPECT_EQ(s.phone.TakeCallerReceived(), std::string(96, 'y'));
  // 1029 bytes at 9600 need 1072 ms, inside the write's 1286 ms.
  EXPECT_EQ(s.serial.WritePort(1, std::string(1029, 'z'), true), "");
}

TEST(ModemPacing, AWaitingStationIsDueOncePerBatchNotPerByte) {
  Station s(/*paced=*/true);
  s.Initialise();
  s.Connect();
  s.Drain(1);
  const auto micros = [&](std::optional<MonoTime> at) {
    EXPECT_TRUE(at.has_value());
    return at ? std::chrono::duration<double, std::micro>(*at - s.clock.Now()).count() : -1.0;
  };
  const double byteTime = 1e6 / 960;
  // A frame's worth on the line: the station need not wake before 16 bytes are in.
  s.phone.CallerSend(std::string(100, 'x'));
  s.serial.ReadModemStatus(1);
  EXPECT_NEAR(micros(s.Modem().NextEvent()), 16 * byteTime, 1.0);
  std::string got;
  while (got.size() < 100) got += s.serial.ReceiveText(2);
  // The last bytes and a lone byte are due at their own arrival, never later.
  s.phone.CallerSend("y");
  s.serial.ReadModemStatus(1);
  EXPECT_NEAR(micros(s.Modem().NextEvent()), byteTime, 1.0);
  // The station's own bytes leave for the caller in batches too.
  EXPECT_EQ(s.serial.ReceiveText(1), "y");
  s.Modem().FromStation(std::string(40, 'z'));
  EXPECT_NEAR(micros(s.Modem().NextEvent()), 16 * byteTime, 1.0);
}

TEST(ModemFaults, LostAndCorruptedBytesAndADroppedLine) {
  Station s;
  s.Initialise();
  s.Connect();
  s.Drain(1);
  ModemProbe::InjectFault(s.Modem(), {LineDirection::kToStation, 2, 3, 0});
  s.phone.CallerSend("abcdefgh");
  EXPECT_EQ(s.serial.ReceiveText(1), "abfgh");
  ModemProbe::InjectFault(s.Modem(), {LineDirection::kToCaller, 1, 1, 0x20});
  s.serial.SendText("Hello");
  EXPECT_EQ(s.phone.TakeCallerReceived(), "HEllo");
  s.phone.CallerSend("abc");
  EXPECT_EQ(s.serial.ReceiveText(1), "abc");  // faults are one-off

  s.clock.At(Millis(300), [&] { s.Modem().DropCarrier(); });
  EXPECT_EQ(s.serial.ReceiveText(2), "\r\nNO CARRIER\r\n");
  EXPECT_TRUE(s.serial.CarrierLost());
  EXPECT_FALSE(s.phone.CallerConnected());
}

}  // namespace
}  // namespace marvolen
