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

// A caller that arrives while the modem is not set to answer rings on (RING at once, then
// every 6 s) and is answered at the first ring once auto-answer is on: the station's own reset
// (ATZ, AT&D2, AT S0=1 a second or more apart) in the middle of the ringing included.
struct RingStep {
  int at_ms;            // from the dial
  const char* command;  // "DTR on", "DTR off": raise or drop DTR instead
  Lines heard;          // what the station logs for it
};
struct RingRow {
  const char* name;
  const char* before;  // the command that sets the modem up before the dial
  std::vector<RingStep> steps;
  int answered_ms;    // when the modem answers, from the dial; 0: during the last step
  std::string heard;  // what the station reads after the steps, up to the answer
};

void PrintTo(const RingRow& row, std::ostream* os) {
  *os << row.name;
}

class ModemRinging : public ::testing::TestWithParam<RingRow> {};

TEST_P(ModemRinging, HoldsTheCallerUntilAutoAnswerIsOn) {
  const RingRow& row = GetParam();
  Station s;
  EXPECT_EQ(s.Command(row.before).back(), "OK");
  ASSERT_TRUE(s.phone.Dial());
  const MonoTime dialled = s.clock.Now();
  for (const RingStep& step : row.steps) {
    ASSERT_LE(s.clock.Now(), dialled + Millis(step.at_ms)) << step.command;
    s.clock.Advance(
        std::chrono::duration_cast<Millis>(dialled + Millis(step.at_ms) - s.clock.Now()));
    EXPECT_TRUE(s.serial.CarrierLost()) << step.command;
    if (std::string_view(step.command).starts_with("DTR")) {
      s.log.clear();
      const bool on = std::string_view(step.command) == "DTR on";
      EXPECT_EQ(s.serial.SetPortLines(1, on ? kSetDtr : kClrDtr), "");
      EXPECT_EQ(s.log, step.heard);
    } else {
      EXPECT_EQ(s.Command(step.command), step.heard);
    }
    EXPECT_TRUE(s.phone.CallerConnected()) << step.command;
  }
  if (row.answered_ms == 0) {
    EXPECT_FALSE(s.serial.CarrierLost());
  } else {
    const long long answered = ElapsedMs(dialled, s.clock.Now()) + s.AwaitCarrier();
    EXPECT_GE(answered, row.answered_ms);
    EXPECT_LE(answered, row.answered_ms + 20);
    EXPECT_EQ(s.serial.ReceiveText(1), row.heard);
  }
  EXPECT_EQ(s.phone.HangUps(), 0);
  s.phone.CallerSend("Ident");
  EXPECT_EQ(s.serial.ReceiveText(1), "Ident");
}

const std::string kRing = "\r\nRING\r\n";
const std::string kConnect = "\r\nCONNECT 9600\r\n";

INSTANTIATE_TEST_SUITE_P(
    Rings, ModemRinging,
    ::testing::Values(
        RingRow{"S0SetWhileRinging",
                "ATZ",
                {{1000, "AT&D2", {"RING", "AT&D2", "OK"}},
                 {7000, "AT S0=1", {"RING", "AT S0=1", "OK"}}},
                12500,
                kRing + kConnect},
        // S0=2 would answer at 6.5 s; ATZ sets it back to 0 without ending the ringing.
        RingRow{"HeldThroughTheStationsReset",
                "ATS0=2",
                {{1000, "ATZ", {"RING", "ATZ", "OK"}},
                 {4000, "AT&D2", {"AT&D2", "OK", "RING"}},
                 {7000, "AT S0=1", {"AT S0=1", "OK"}}},
                12500,
                kRing + kConnect},
        // With &D2 a terminal that is not ready is not answered for (S0=2 would answer at
        // 6.5 s), and dropping DTR hangs up only a call that was answered.
        RingRow{"DtrDroppedWhileRinging",
                "AT&D2S0=2",
                {{1000, "DTR off", {}}, {7000, "DTR on", {}}},
                12500,
                kRing + kRing + kRing + kConnect},
        // A ring due while the station types a command comes after the command's answer, not
        // inside its echo.
        RingRow{"RingDuringACommand",
                "ATZ",
                {{11950, "AT S0=1", {"RING", "RING", "AT S0=1", "OK", "RING", "CONNECT 9600"}}},
                0,
                ""}));

TEST(ModemCalls, ACallerNobodyAnswersGivesUpAtTheNoAnswerLimit) {
  Station s;
  EXPECT_EQ(s.Command("ATZ"), (Lines{"ATZ", "OK"}));
  ASSERT_TRUE(s.phone.Dial());
  const MonoTime dialled = s.clock.Now();
  s.clock.Advance(kNoAnswerLimit - Millis(1));
  std::string heard = s.serial.ReceiveText(0);
  EXPECT_TRUE(s.phone.CallerConnected());
  s.clock.Advance(std::chrono::duration_cast<Millis>(dialled + kNoAnswerLimit - s.clock.Now()));
  heard += s.Drain(1);
  EXPECT_FALSE(s.phone.CallerConnected());
  EXPECT_EQ(s.phone.HangUps(), 1);
  std::string ten_rings;
  for (int i = 0; i < 10; ++i) ten_rings += "\r\nRING\r\n";
  EXPECT_EQ(heard, ten_rings);  // never answered, so no NO CARRIER
  EXPECT_EQ(s.Modem().CurrentState(), HayesModem::State::kIdle);
  // The line is free for the next caller.
  EXPECT_EQ(s.Command("AT S0=1"), (Lines{"AT S0=1", "OK"}));
  EXPECT_LE(s.Connect(), 600);
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
  // A reopened port is a modem fresh from power-on: a caller rings, unanswered until the
  // modem is told to answer.
  ASSERT_EQ(s.serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit), "");
  ASSERT_TRUE(s.phone.Dial());
  EXPECT_EQ(s.Drain(7), "\r\nRING\r\n\r\nRING\r\n");
  EXPECT_TRUE(s.serial.CarrierLost());
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
