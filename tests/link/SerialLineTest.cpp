// The driver operations on a scripted device: the open sequence, every failure message, the
// CTS check, the write time limit, reads that never wait for bytes to come.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "link/SerialLine.h"
#include "link/SerialMessages.h"
#include "link/testing/ScriptedLine.h"

namespace marvolen {
namespace {

using testing::DeviceCall;
using testing::ScriptedLine;

struct Station {
  VirtualClock clock;
  ScriptedLine line{clock};
  std::vector<std::string> log;
  SerialLine serial{clock, line.Opener(1), [this](std::string_view l) { log.emplace_back(l); }};

  std::string Open() { return serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit); }
  PortEntry& Port() { return *serial.Ports().Find(1); }
};

TEST(SerialOpen, ConfiguresTheLineForTheModem) {
  Station s;
  s.line.Send("stale");
  ASSERT_EQ(s.serial.OpenPort(1, 19200, kNoParity, 8, kOneStopBit), "");
  const LineSettings set = s.line.Settings();
  EXPECT_EQ(set.BaudRate, 19200u);
  EXPECT_EQ(set.ByteSize, 8);
  EXPECT_EQ(set.Parity, kNoParity);
  EXPECT_EQ(set.StopBits, kOneStopBit);
  EXPECT_EQ(set.XonChar, 0x11);
  EXPECT_EQ(set.XoffChar, 0x13);
  EXPECT_EQ(set.XonLim, 1024);
  EXPECT_EQ(set.XoffLim, 1024);
  EXPECT_EQ(set.flags, LineSettings::kBinary);  // no flow control, DTR and RTS disabled
  EXPECT_FALSE(s.line.Dtr());
  EXPECT_FALSE(s.line.Rts());
  PortEntry& port = s.Port();
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(port.ioEvent);
  EXPECT_EQ(port.timeouts.ReadTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(port.timeouts.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(port.timeouts.ReadIntervalTimeout + port.timeouts.ReadTotalTimeoutConstant +
                port.timeouts.WriteTotalTimeoutConstant,
            0u);
  EXPECT_EQ(port.inQueueSize, 4096u);
  EXPECT_EQ(port.outQueueSize, 2048u);

  // The controller's sequence then raises RTS and DTR and purges.
  EXPECT_EQ(
      s.serial.PurgeAll(1) + s.serial.SetPortLines(1, kSetRts) + s.serial.SetPortLines(1, kSetDtr),
      "");
  EXPECT_TRUE(s.line.Dtr());
  EXPECT_TRUE(s.line.Rts());
  EXPECT_EQ(s.line.Purges(), std::vector<std::uint32_t>{0x0F});
  EXPECT_EQ(s.line.Unread(), 0u);
}

TEST(SerialOpen, AnOpenPortIsLeftAlone) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  EXPECT_EQ(s.serial.OpenPort(1, 2400, kNoParity, 7, kOneStopBit), "ERROR, COM1 IS OPEN. ");
  EXPECT_EQ(s.line.Opens(), 1);
  EXPECT_EQ(s.line.Settings().BaudRate, 9600u);
  EXPECT_EQ(s.line.Calls(DeviceCall::kGetState), 1);
}

TEST(SerialOpen, DeviceMissingOrUnopenable) {
  Station s;
  EXPECT_EQ(s.serial.OpenPort(3, 9600, kNoParity, 8, kOneStopBit), "ERROR, COM3 NOT FOUND. ");
  EXPECT_FALSE(s.serial.Ports().Find(3)->IsOpen());
  s.line.FailOpen(EBUSY);
  EXPECT_EQ(s.Open(), "ERROR, CAN NOT OPEN COM1. ");
  EXPECT_FALSE(s.Port().IsOpen());
  s.line.FailOpen(ENOENT);
  EXPECT_EQ(s.Open(), "ERROR, COM1 NOT FOUND. ");
  s.line.FailOpen(0);
  EXPECT_EQ(s.Open(), "");
}

TEST(SerialOpen, PortsOutsideTheTableAreRefused) {
  Station s;
  for (int port : {0, 5, 9, -1}) {
    const std::string refusal = "ERROR, COM" + std::to_string(port) + " NOT AVAILABLE. ";
    EXPECT_EQ(s.serial.OpenPort(port, 9600, kNoParity, 8, kOneStopBit), refusal);
    EXPECT_EQ(s.serial.PurgeAll(port), refusal);
    EXPECT_EQ(s.serial.PurgeInput(port), refusal);
    EXPECT_EQ(s.serial.ClearPortErrors(port), refusal);
    EXPECT_EQ(s.serial.ReadModemStatus(port), refusal);
    EXPECT_EQ(s.serial.WritePort(port, "x", false), refusal);
    EXPECT_EQ(s.serial.ReadPort(port), refusal);
    EXPECT_EQ(s.serial.SetPortLines(port, kSetDtr), refusal);
    EXPECT_EQ(s.serial.ClosePort(port), "");
  }
  EXPECT_EQ(s.line.Opens(), 0);
}

// One device call failing at a time, and the message the operation hands back.
struct FailureRow {
  const char* name;
  DeviceCall call;
  int error;
  std::string (*operation)(SerialLine&);
  std::string expected;
};

void PrintTo(const FailureRow& row, std::ostream* os) {
  *os << row.name;
}

std::string OpenOp(SerialLine& l) {
  return l.OpenPort(1, 9600, kNoParity, 8, kOneStopBit);
}

class SerialFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(SerialFailure, GivesItsMessage) {
  const FailureRow& row = GetParam();
  Station s;
  if (row.call != DeviceCall::kGetState && row.call != DeviceCall::kSetState &&
      row.call != DeviceCall::kSetTimeouts && row.call != DeviceCall::kSetupQueues &&
      row.call != DeviceCall::kSetEventMask) {
    ASSERT_EQ(s.Open(), "");
    s.line.Send("xyz");
  }
  s.line.Fail(row.call, row.error);
  EXPECT_EQ(row.operation(s.serial), row.expected);
}

const std::string kIo = "5: Input/output error. ";

INSTANTIATE_TEST_SUITE_P(
    Messages, SerialFailure,
    ::testing::Values(
        FailureRow{"GetState", DeviceCall::kGetState, EIO, OpenOp,
                   "ERROR LEYENDO A_DCB de COM1. " + kIo},
        FailureRow{"SetState", DeviceCall::kSetState, EINVAL, OpenOp,
                   "ERROR ESCRIBIENDO A_DCB DE COM1. 22: Invalid argument. "},
        FailureRow{"Timeouts", DeviceCall::kSetTimeouts, EIO, OpenOp,
                   "ERROR ESCRIBIENDO A_TimeOut DE COM1. " + kIo},
        FailureRow{"Queues", DeviceCall::kSetupQueues, ENOMEM, OpenOp,
                   "ERROR DEFINIENDO TAMAÑO BUFFER DE LECTURA Y ESCRITURA DE COM1. 12: Cannot "
                   "allocate memory. "},
        FailureRow{"EventMask", DeviceCall::kSetEventMask, EIO, OpenOp,
                   "ERROR DEFINIENDO EVENTOS DE COM1. " + kIo},
        FailureRow{"PurgeInput", DeviceCall::kPurge, EIO,
                   [](SerialLine& l) { return l.PurgeInput(1); },
                   "ERROR BORRANDO BUFFER DE LECTURA DE COM1. " + kIo},
        FailureRow{"PurgeAll", DeviceCall::kPurge, EIO, [](SerialLine& l) { return l.PurgeAll(1); },
                   "ERROR BORRANDO BUFFER DE ESCRITURA Y LECTURA DE COM1. " + kIo},
        FailureRow{"ClearErrors", DeviceCall::kClearErrors, EIO,
                   [](SerialLine& l) { return l.ClearPortErrors(1); },
                   "ERROR BORRANDO ERROR DE COMUNICACION DE COM1. " + kIo},
        FailureRow{"ModemStatus", DeviceCall::kModemStatus, ENOTTY,
                   [](SerialLine& l) { return l.ReadModemStatus(1); },
                   "ERROR LEYENDO ESTADO DEL MODEM EN COM1. 25: Inappropriate ioctl for "
                   "device. "},
        FailureRow{"Write", DeviceCall::kStartWrite, EIO,
                   [](SerialLine& l) { return l.WritePort(1, "AT", true); },
                   "ERROR ESCRIBIENDO PUERTO A. " + kIo},
        FailureRow{"Read", DeviceCall::kRead, EIO, [](SerialLine& l) { return l.ReadPort(1); },
                   "ERROR LEYENDO COM1. " + kIo},
        FailureRow{"Escape", DeviceCall::kEscape, EIO,
                   [](SerialLine& l) { return l.SetPortLines(1, kClrDtr); },
                   "ERROR DE Windows.EscapeCommFunction DE COM1. " + kIo}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

TEST(SerialOpen, AFailureAfterTheDeviceOpenedLeavesItOpenUntilClosed) {
  Station s;
  s.line.Fail(DeviceCall::kSetupQueues, EIO);
  EXPECT_NE(s.Open(), "");
  EXPECT_TRUE(s.Port().IsOpen());
  EXPECT_FALSE(s.Port().ioEvent);
  EXPECT_EQ(s.line.Calls(DeviceCall::kSetEventMask), 0);  // stopped at the first failure
  EXPECT_EQ(s.Open(), "ERROR, COM1 IS OPEN. ");
  EXPECT_EQ(s.serial.ClosePort(1), "");
  EXPECT_FALSE(s.line.IsOpen());
  EXPECT_EQ(s.Open(), "");
}

TEST(SerialClose, ClosedPortsAnswerAsTheyShould) {
  Station s;
  EXPECT_EQ(s.serial.ClosePort(1), "");
  EXPECT_EQ(s.serial.SetPortLines(1, kSetDtr), "");
  EXPECT_EQ(s.serial.ReadPort(1), "");
  EXPECT_EQ(s.serial.ReadModemStatus(1), "");
  EXPECT_EQ(s.serial.PurgeInput(1),
            "ERROR BORRANDO BUFFER DE LECTURA DE COM1. 9: Bad file descriptor. ");
  EXPECT_EQ(s.serial.PurgeAll(1),
            "ERROR BORRANDO BUFFER DE ESCRITURA Y LECTURA DE COM1. 9: Bad file descriptor. ");
  EXPECT_EQ(s.serial.ClearPortErrors(1),
            "ERROR BORRANDO ERROR DE COMUNICACION DE COM1. 9: Bad file descriptor. ");
  // A closed port has no clear-to-send; without the check the write itself fails.
  EXPECT_EQ(s.serial.WritePort(1, "x", true), "ERROR, CTS OFF EN COM1. ");
  EXPECT_EQ(s.serial.WritePort(1, "x", false),
            "ERROR ESCRIBIENDO PUERTO A. 9: Bad file descriptor. ");
  EXPECT_EQ(s.line.Opens(), 0);

  // Closing forgets the carrier: a closed port must not look connected.
  ASSERT_EQ(s.Open(), "");
  s.line.SetCarrier(true);
  s.serial.SetConfiguredPort(1);
  EXPECT_FALSE(s.serial.CarrierLost());
  s.serial.ClosePort(1);
  EXPECT_FALSE(s.line.IsOpen());
  EXPECT_TRUE(s.serial.CarrierLost());
}

TEST(SerialWrite, EmptyWritesNothingAndCtsIsChecked) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  EXPECT_EQ(s.serial.WritePort(1, "", true), "");
  EXPECT_EQ(s.line.Calls(DeviceCall::kModemStatus), 0);
  s.line.SetCts(false);
  EXPECT_EQ(s.serial.WritePort(1, "ATZ\r", true), "ERROR, CTS OFF EN COM1. ");
  EXPECT_EQ(s.line.Written(), "");
  EXPECT_EQ(s.serial.WritePort(1, "ATZ\r", false), "");
  EXPECT_EQ(s.line.Written(), "ATZ\r");
  // A status that cannot be read does not stop the write.
  s.line.Fail(DeviceCall::kModemStatus, EIO);
  EXPECT_EQ(s.serial.WritePort(1, "A", true), "");
  EXPECT_EQ(s.line.TakeWritten(), "ATZ\rA");
}

TEST(SerialWrite, TimeLimitIsTwelveBitTimesAByteAndAtLeast100ms) {
  EXPECT_EQ(WriteTimeLimit(1029, 9600), Millis(1286));
  EXPECT_EQ(WriteTimeLimit(133, 9600), Millis(166));
  EXPECT_EQ(WriteTimeLimit(10, 9600), Millis(100));
  EXPECT_EQ(WriteTimeLimit(320, 38400), Millis(100));
  EXPECT_EQ(WriteTimeLimit(321, 38400), Millis(100));
  EXPECT_EQ(WriteTimeLimit(1029, 600), Millis(20580));
  EXPECT_EQ(WriteTimeLimit(1029, 0), Millis(20580));  // unknown speed: the slowest one
}

TEST(SerialWrite, ReturnsWhenTheBytesLeftAndTimesOutAtTheLimit) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  const std::string frame(1029, 'x');
  s.line.SetWritePace(9600);  // ten bit times a byte: 1072 ms on the line
  MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.WritePort(1, frame, true), "");
  EXPECT_EQ(ElapsedMs(start, s.clock.Now()), 1072);

  s.line.SetWritePace(4800);  // 2144 ms: more than the 1286 ms the write may take
  start = s.clock.Now();
  EXPECT_EQ(s.serial.WritePort(1, frame, true), "ERROR, Write_time-out EN COM1. ");
  EXPECT_EQ(ElapsedMs(start, s.clock.Now()), 1286);

  s.line.StallWrites(true);
  start = s.clock.Now();
  EXPECT_EQ(s.serial.WritePort(1, "x", false), "ERROR, Write_time-out EN COM1. ");
  EXPECT_EQ(ElapsedMs(start, s.clock.Now()), 100);
}

TEST(SerialRead, NothingWaitingMeansNoReadAndNoError) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  s.Port().received = "old";
  s.line.SendAfter(Millis(50), "late");
  const MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReadPort(1), "");
  EXPECT_EQ(s.Port().received, "");
  EXPECT_EQ(s.line.Calls(DeviceCall::kRead), 0);
  EXPECT_EQ(s.clock.Now(), start);  // never waits for bytes still to come
}

TEST(SerialRead, TakesExactlyWhatIsWaiting) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  s.line.Send(std::string("RING\r\0\xff", 7));
  s.line.SendAfter(Millis(10), "more");
  EXPECT_EQ(s.serial.ReadPort(1), "");
  EXPECT_EQ(s.Port().received, std::string("RING\r\0\xff", 7));
  EXPECT_EQ(s.Port().status.cbInQue, 7u);
  EXPECT_EQ(s.line.Unread(), 4u);
}

TEST(SerialRead, FailuresLeaveNothingReceived) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  s.line.Send("abc");
  s.line.Fail(DeviceCall::kRead, EIO);
  EXPECT_EQ(s.serial.ReadPort(1), "ERROR LEYENDO COM1. 5: Input/output error. ");
  EXPECT_EQ(s.Port().received, "");
  // The queue status failing on an open port is a failing device: said, not hidden.
  s.line.Fail(DeviceCall::kClearErrors, EIO);
  EXPECT_EQ(s.serial.ReadPort(1),
            "ERROR BORRANDO ERROR DE COMUNICACION DE COM1. 5: Input/output error. ");
  EXPECT_EQ(s.Port().status.cbInQue, 0u);
  EXPECT_EQ(s.serial.ReadPort(1), "");
  EXPECT_EQ(s.Port().received, "abc");
}

TEST(SerialLines, HandshakeModesRefuseTheirFunctions) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  LineSettings& settings = s.Port().lineSettings;
  settings.SetRtsControl(kControlHandshake);
  EXPECT_EQ(s.serial.SetPortLines(1, kClrRts),
            "ERROR, NO ESTA PERMITIDO fRtsControlHandshake Y \"CLRRTS\" EN COM1. ");
  EXPECT_EQ(s.serial.SetPortLines(1, kSetRts),
            "ERROR, NO ESTA PERMITIDO fRtsControlHandshake Y \"SETRTS\" EN COM1. ");
  EXPECT_EQ(s.serial.SetPortLines(1, kSetDtr), "");
  settings.SetRtsControl(kControlEnable);
  settings.SetDtrControl(kControlHandshake);
  EXPECT_EQ(s.serial.SetPortLines(1, kClrDtr),
            "ERROR, NO ESTA PERMITIDO fDtrControlHandshake Y \"CLRDTR\" EN COM1. ");
  EXPECT_EQ(s.serial.SetPortLines(1, kSetDtr),
            "ERROR, NO ESTA PERMITIDO fDtrControlHandshake Y \"SETDTR\" EN COM1. ");
  EXPECT_EQ(s.line.Calls(DeviceCall::kEscape), 1);
  EXPECT_EQ(s.serial.SetPortLines(1, kClrRts), "");
  EXPECT_FALSE(s.line.Rts());
}

TEST(SerialMessages, SystemTextLosesTrailingStopsAndBlanks) {
  EXPECT_EQ(serial_text::SystemErrorForm("ERROR ESCRIBIENDO A_DCB DE COM", 2, ErrnoCode(EIO)),
            "ERROR ESCRIBIENDO A_DCB DE COM2. 5: Input/output error. ");
  EXPECT_EQ(serial_text::ShortForm(serial_text::kReadTimedOut, 4),
            "ERROR, Read_time-out EN COM4. ");
  EXPECT_EQ(serial_text::SystemErrorText(99999), "Unknown error 99999");
}

}  // namespace
}  // namespace marvolen
