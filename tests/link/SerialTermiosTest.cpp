// The termios backend: on a pseudo-terminal for what a pty can show (settings read back,
// bytes both ways, exclusive open, a vanished far end), through the system-call seam for
// what it cannot (modem lines, EINTR, EIO, a slow drain).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "link/PortDevices.h"
#include "link/SerialLine.h"
#include "link/TermiosDevice.h"

namespace marvolen {
namespace {

using Lines = std::vector<std::string>;

struct Pty {
  int master = -1;
  std::string slave;

  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(master, 0);
    EXPECT_EQ(::grantpt(master), 0);
    EXPECT_EQ(::unlockpt(master), 0);
    slave = ::ptsname(master);
  }
  ~Pty() { CloseMaster(); }
  void CloseMaster() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  void Write(std::string_view bytes) const {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads what the station wrote, waiting (really) up to 2 s for `size` bytes.
  std::string Read(std::size_t size) const {
    std::string got;
    while (got.size() < size) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) break;
      char buffer[256];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
};

// Bytes written to a pty master reach the slave a moment later.
void AwaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
}

// The real calls, with the ones a test names answered its way.
struct SeamCalls {
  std::map<unsigned long, std::function<int(void*)>> ioctls;
  std::function<ssize_t(int, const void*, std::size_t)> write;
  std::function<ssize_t(int, void*, std::size_t)> read;
  int tcsetattrError = 0;
  int flockError = 0;
  std::vector<std::pair<unsigned long, int>> lineRequests;
  // What the device is opened through.
  FileOps ops = SystemFileOps();

  SeamCalls() {
    const FileOps& sys = SystemFileOps();
    ops.ioctl = [this, &sys](int fd, unsigned long request, void* argument) {
      if (request == TIOCMBIS || request == TIOCMBIC) {
        lineRequests.emplace_back(request, *static_cast<int*>(argument));
      }
      auto it = ioctls.find(request);
      if (it != ioctls.end()) return it->second(argument);
      return sys.ioctl(fd, request, argument);
    };
    ops.write = [this, &sys](int fd, const void* buffer, std::size_t size) {
      return write ? write(fd, buffer, size) : sys.write(fd, buffer, size);
    };
    ops.read = [this, &sys](int fd, void* buffer, std::size_t size) {
      return read ? read(fd, buffer, size) : sys.read(fd, buffer, size);
    };
    ops.tcsetattr = [this, &sys](int fd, int when, const termios* t) {
      if (tcsetattrError) return errno = tcsetattrError, -1;
      return sys.tcsetattr(fd, when, t);
    };
    ops.flock = [this, &sys](int fd, int operation) {
      if (flockError) return errno = flockError, -1;
      return sys.flock(fd, operation);
    };
  }
  SeamCalls(const SeamCalls&) = delete;
  SeamCalls& operator=(const SeamCalls&) = delete;
};

int Fail(int error) {
  errno = error;
  return -1;
}

// A station whose port 1 is the pty's slave, opened through the given calls.
struct Station {
  VirtualClock clock;
  Pty pty;
  SeamCalls calls;
  TermiosDevice* device = nullptr;
  Lines log;
  SerialLine serial{clock,
                    [this](int port) -> OpenedDevice {
                      if (port != 1) return {nullptr, ErrnoCode(ENOENT)};
                      OpenedDevice d = TermiosDevice::Open(pty.slave, clock, calls.ops);
                      device = static_cast<TermiosDevice*>(d.device.get());
                      return d;
                    },
                    [this](std::string_view l) { log.emplace_back(l); }};

  Station() { serial.SetConfiguredPort(1); }
  std::string Open(std::uint32_t speed = 9600) {
    return serial.OpenPort(1, speed, kNoParity, 8, kOneStopBit);
  }
};

TEST(SerialTermios, PtySettingsReadBackAsConfigured) {
  Station s;
  ASSERT_EQ(s.Open(19200), "");
  termios t{};
  ASSERT_EQ(::tcgetattr(s.device->Descriptor(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK | ISTRIP), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);

  LineSettings back;
  ASSERT_FALSE(s.device->GetState(back));
  EXPECT_EQ(back.BaudRate, 19200u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, kNoParity);
  EXPECT_EQ(back.StopBits, kOneStopBit);
  EXPECT_EQ(back.XonLim, 1024);
  EXPECT_EQ(back.XoffLim, 1024);
  EXPECT_EQ(back.flags, LineSettings::kBinary);
  // A pty has no modem lines: the status call fails with the system's text.
  EXPECT_TRUE(s.serial.CarrierLost());
  EXPECT_EQ(s.log, Lines{"*ERROR Estado del Módem: ERROR LEYENDO ESTADO DEL MODEM EN COM1. 25: "
                         "Inappropriate ioctl for device. "});
}

TEST(SerialTermios, BytesPassBothWaysUnchanged) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  const std::string binary("\r\n\x00\x11\x13\xff\x7f\x03", 8);
  s.serial.SendText(binary);  // the CTS check fails on a pty, so the write goes ahead
  EXPECT_EQ(s.pty.Read(binary.size()), binary);
  EXPECT_TRUE(s.log.empty());

  EXPECT_EQ(s.serial.ReadPort(1), "");  // nothing waiting
  EXPECT_EQ(s.serial.Ports().Find(1)->received, "");
  s.pty.Write(binary);
  AwaitReadable(s.device->Descriptor());
  EXPECT_EQ(s.serial.ReceiveText(2), binary);
}

TEST(SerialTermios, OpenFailures) {
  VirtualClock clock;
  Pty pty;
  const std::string file = ::testing::TempDir() + "serial-termios-plain-file";
  std::ofstream(file) << "not a tty";
  std::map<std::string, std::string> env = {{"MARVOLEN_COM1", pty.slave},
                                            {"MARVOLEN_COM2", pty.slave},
                                            {"MARVOLEN_COM3", "/nonexistent/ttyUSB9"},
                                            {"MARVOLEN_COM4", file}};
  auto lookup = [&env](const std::string& name) -> std::optional<std::string> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
  SerialLine serial(clock, SystemDeviceOpener(clock, lookup), nullptr);
  EXPECT_EQ(serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit), "");
  // The same device behind a second port: it is locked to the first.
  EXPECT_EQ(serial.OpenPort(2, 9600, kNoParity, 8, kOneStopBit), "ERROR, CAN NOT OPEN COM2. ");
  EXPECT_EQ(serial.OpenPort(3, 9600, kNoParity, 8, kOneStopBit), "ERROR, COM3 NOT FOUND. ");
  EXPECT_EQ(serial.OpenPort(4, 9600, kNoParity, 8, kOneStopBit),
            "ERROR LEYENDO A_DCB de COM4. 25: Inappropriate ioctl for device. ");
  serial.ClosePort(1);
  EXPECT_EQ(serial.OpenPort(2, 9600, kNoParity, 8, kOneStopBit), "");
  std::filesystem::remove(file);
  env["MARVOLEN_COM3"] = "";  // empty counts as unset
  EXPECT_EQ(PortDeviceName(3, lookup), "/dev/ttyS2");
  EXPECT_EQ(PortDeviceName(1, lookup), pty.slave);
}

TEST(SerialTermios, AVanishedFarEndIsReportedOnceNotWaitedOut) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  s.pty.CloseMaster();
  const MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReceiveText(10), "");
  EXPECT_LT(ElapsedMs(start, s.clock.Now()), 10000);
  ASSERT_EQ(s.log.size(), 1u);
  EXPECT_EQ(s.log[0].rfind(
                "*ERROR Recibiendo dato: ERROR BORRANDO ERROR DE COMUNICACION DE COM1. 5: ", 0),
            0u)
      << s.log[0];
}

TEST(SerialTermios, ModemLinesMapToTheStatusBits) {
  Station s;
  int lines = 0;
  s.calls.ioctls[TIOCMGET] = [&lines](void* arg) {
    *static_cast<int*>(arg) = lines;
    return 0;
  };
  ASSERT_EQ(s.Open(), "");
  PortEntry& port = *s.serial.Ports().Find(1);
  struct Row {
    int lines;
    std::uint32_t bits;
  };
  for (const Row& row :
       {Row{0, 0}, Row{TIOCM_CTS, kMsCtsOn}, Row{TIOCM_CAR, kMsRlsdOn},
        Row{TIOCM_DSR | TIOCM_RNG, kMsDsrOn | kMsRingOn},
        Row{TIOCM_CTS | TIOCM_CAR | TIOCM_DTR | TIOCM_RTS, kMsCtsOn | kMsRlsdOn}}) {
    lines = row.lines;
    EXPECT_EQ(s.serial.ReadModemStatus(1), "");
    EXPECT_EQ(port.modemStatus, row.bits) << row.lines;
  }
  lines = TIOCM_CAR;
  EXPECT_FALSE(s.serial.CarrierLost());
  EXPECT_EQ(s.serial.WritePort(1, "ATZ\r", true), "ERROR, CTS OFF EN COM1. ");
  lines = TIOCM_CTS;
  EXPECT_TRUE(s.serial.CarrierLost());
  EXPECT_EQ(s.serial.WritePort(1, "ATZ\r", true), "");
  EXPECT_EQ(s.pty.Read(4), "ATZ\r");
  s.calls.ioctls[TIOCMGET] = [](void*) { return Fail(EIO); };
  EXPECT_EQ(s.serial.ReadModemStatus(1),
            "ERROR LEYENDO ESTADO DEL MODEM EN COM1. 5: Input/output error. ");
  EXPECT_EQ(port.modemStatus, static_cast<std::uint32_t>(kMsCtsOn));
}

TEST(SerialTermios, LineFunctionsAndOpenDropThenRaiseDtrAndRts) {
  Station s;
  s.calls.ioctls[TIOCMBIS] = [](void*) { return 0; };
  s.calls.ioctls[TIOCMBIC] = [](void*) { return 0; };
  ASSERT_EQ(s.Open(), "");
  ASSERT_EQ(s.serial.SetPortLines(1, kSetRts), "");
  ASSERT_EQ(s.serial.SetPortLines(1, kSetDtr), "");
  using Request = std::pair<unsigned long, int>;
  EXPECT_EQ(s.calls.lineRequests, (std::vector<Request>{{TIOCMBIC, TIOCM_DTR},
                                                        {TIOCMBIC, TIOCM_RTS},
                                                        {TIOCMBIS, TIOCM_RTS},
                                                        {TIOCMBIS, TIOCM_DTR}}));
  s.calls.ioctls[TIOCMBIC] = [](void*) { return Fail(EIO); };
  EXPECT_EQ(s.serial.SetPortLines(1, kClrDtr),
            "ERROR DE Windows.EscapeCommFunction DE COM1. 5: Input/output error. ");
  EXPECT_EQ(s.serial.SetPortLines(1, 77),
            "ERROR DE Windows.EscapeCommFunction DE COM1. 22: Invalid argument. ");
}

TEST(SerialTermios, InterruptedCallsAreRetriedAndPartialWritesFinished) {
  Station s;
  ASSERT_EQ(s.Open(), "");
  int call = 0;
  s.calls.write = [&call](int fd, const void* buffer, std::size_t size) -> ssize_t {
    switch (call++ % 3) {
      case 0:
        return Fail(EINTR);
      case 1:
        return Fail(EAGAIN);
      default:
        return ::write(fd, buffer, std::min<std::size_t>(size, 3));
    }
  };
  EXPECT_EQ(s.serial.WritePort(1, "0123456789", false), "");
  EXPECT_EQ(s.pty.Read(10), "0123456789");

  bool interrupted = false;
  s.calls.read = [&interrupted](int fd, void* buffer, std::size_t size) -> ssize_t {
    if (!interrupted) {
      interrupted = true;
      return Fail(EINTR);
    }
    return ::read(fd, buffer, size);
  };
  s.pty.Write("RING\r");
  AwaitReadable(s.device->Descriptor());
  EXPECT_EQ(s.serial.ReadPort(1), "");
  EXPECT_EQ(s.serial.Ports().Find(1)->received, "RING\r");
  EXPECT_TRUE(interrupted);
}

TEST(SerialTermios, SystemFailuresBecomeMessages) {
  Station s;
  s.calls.tcsetattrError = EIO;
  EXPECT_EQ(s.Open(), "ERROR ESCRIBIENDO A_DCB DE COM1. 5: Input/output error. ");
  s.serial.ClosePort(1);
  s.calls.tcsetattrError = 0;
  ASSERT_EQ(s.Open(), "");
  s.calls.write = [](int, const void*, std::size_t) -> ssize_t { return Fail(EIO); };
  EXPECT_EQ(s.serial.WritePort(1, "x", false),
            "ERROR ESCRIBIENDO PUERTO A. 5: Input/output error. ");
  s.calls.ioctls[FIONREAD] = [](void*) { return Fail(EIO); };
  EXPECT_EQ(s.serial.ClearPortErrors(1),
            "ERROR BORRANDO ERROR DE COMUNICACION DE COM1. 5: Input/output error. ");
  s.calls.ioctls.erase(FIONREAD);
  s.pty.Write("abc");
  AwaitReadable(s.device->Descriptor());
  s.calls.read = [](int, void*, std::size_t) -> ssize_t { return Fail(EIO); };
  EXPECT_EQ(s.serial.ReadPort(1), "ERROR LEYENDO COM1. 5: Input/output error. ");
  // A read that cannot get the bytes FIONREAD promised times out after 100 ms.
  s.calls.read = [](int, void*, std::size_t) -> ssize_t { return Fail(EAGAIN); };
  const MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReadPort(1), "ERROR, Read_time-out EN COM1. ");
  EXPECT_EQ(ElapsedMs(start, s.clock.Now()), 100);
  s.calls.read = nullptr;
  EXPECT_EQ(s.serial.ReadPort(1), "");
  EXPECT_EQ(s.serial.Ports().Find(1)->received, "abc");
}

TEST(SerialTermios, SecondOpenerIsRefusedByTheLock) {
  Station s;
  s.calls.flockError = EWOULDBLOCK;
  EXPECT_EQ(s.Open(), "ERROR, CAN NOT OPEN COM1. ");
  EXPECT_FALSE(s.serial.Ports().Find(1)->IsOpen());
  // The line's state gives the reason of the open that failed: a busy device, not "try again".
  EXPECT_EQ(s.serial.LastOpenError(), std::errc::device_or_resource_busy);
}

TEST(SerialTermios, WriteWaitsForTheDrainAndTimesOutWhenItStalls) {
  Station s;
  int queued = 20;
  s.calls.ioctls[TIOCOUTQ] = [&queued](void* arg) {
    *static_cast<int*>(arg) = queued;
    queued = std::max(0, queued - 10);
    return 0;
  };
  ASSERT_EQ(s.Open(), "");
  MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.WritePort(1, "0123456789", false), "");
  // 20 bytes queued need 20 ms at 9600 bit/s, the 10 left then 10 ms more.
  EXPECT_EQ(ElapsedMs(start, s.clock.Now()), 30);

  s.calls.ioctls[TIOCOUTQ] = [](void* arg) {
    *static_cast<int*>(arg) = 5;  // never leaves: a line held up
    return 0;
  };
  start = s.clock.Now();
  EXPECT_EQ(s.serial.WritePort(1, std::string(1029, 'x'), false),
            "ERROR, Write_time-out EN COM1. ");
  EXPECT_EQ(ElapsedMs(start, s.clock.Now()), 1286);
}

// --- The pure termios helpers ---------------------------------------------------------

LineSettings ModemSettings(std::uint32_t baud) {
  LineSettings s;
  s.BaudRate = baud;
  s.flags = LineSettings::kBinary;
  return s;
}

TEST(SerialTermiosSettings, RefusesWhatTermiosCannotExpress) {
  struct Row {
    const char* what;
    void (*change)(LineSettings&);
  };
  const Row rows[] = {
      {"unknown speed", [](LineSettings& s) { s.BaudRate = 12345; }},
      {"nine bits", [](LineSettings& s) { s.ByteSize = 9; }},
      {"parity code 5", [](LineSettings& s) { s.Parity = 5; }},
      {"1.5 stop bits at 8 bits", [](LineSettings& s) { s.StopBits = kOne5StopBits; }},
      {"DSR flow", [](LineSettings& s) { s.flags |= LineSettings::kOutxDsrFlow; }},
      {"NUL stripping", [](LineSettings& s) { s.flags |= LineSettings::kNullStrip; }},
      {"DTR handshake", [](LineSettings& s) { s.SetDtrControl(kControlHandshake); }},
      {"RTS toggle", [](LineSettings& s) { s.SetRtsControl(kRtsControlToggle); }},
      {"text mode", [](LineSettings& s) { s.flags &= ~LineSettings::kBinary; }},
  };
  for (const Row& row : rows) {
    LineSettings s = ModemSettings(9600);
    row.change(s);
    termios t{};
    EXPECT_EQ(ApplyLineSettings(s, t), std::errc::invalid_argument) << row.what;
  }
}

TEST(SerialTermiosSettings, FramingAndFlowControlRoundTrip) {
  struct Row {
    std::uint32_t baud;
    std::uint8_t size, parity, stop;
    std::uint32_t flags;
    int rts;
  };
  const std::uint32_t bin = LineSettings::kBinary;
  const Row rows[] = {
      {600, 8, kNoParity, kOneStopBit, bin, kControlDisable},
      {38400, 7, kEvenParity, kTwoStopBits, bin | LineSettings::kParityCheck, kControlEnable},
      {1200, 8, kMarkParity, kOneStopBit, bin, kControlDisable},
      {110, 5, kNoParity, kOne5StopBits, bin, kControlDisable},
      {115200, 8, kNoParity, kOneStopBit, bin | LineSettings::kOutX | LineSettings::kInX,
       kControlDisable},
      {9600, 8, kNoParity, kOneStopBit, bin | LineSettings::kOutxCtsFlow, kControlHandshake},
  };
  for (const Row& row : rows) {
    LineSettings s = ModemSettings(row.baud);
    s.ByteSize = row.size;
    s.Parity = row.parity;
    s.StopBits = row.stop;
    s.flags = row.flags;
    s.SetRtsControl(row.rts);
    s.XonChar = 0x01;
    s.XoffChar = 0x02;
    termios t{};
    t.c_lflag = ICANON | ECHO;
    t.c_oflag = OPOST;
    ASSERT_FALSE(ApplyLineSettings(s, t)) << row.baud;
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    LineSettings back = ModemSettings(0);
    back.SetRtsControl(row.rts);
    ReadLineSettings(t, back);
    EXPECT_EQ(back.BaudRate, row.baud);
    EXPECT_EQ(back.ByteSize, row.size);
    EXPECT_EQ(back.Parity, row.parity);
    EXPECT_EQ(back.StopBits, row.stop);
    EXPECT_EQ(back.flags, s.flags) << row.baud;
    EXPECT_EQ(back.XonChar, 0x01);
    EXPECT_EQ(back.XoffChar, 0x02);
  }
}

TEST(SerialTermiosSettings, EveryStationSpeedHasATermiosCode) {
  for (std::uint32_t baud : {600u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u}) {
    EXPECT_NE(SpeedCode(baud), static_cast<speed_t>(B0)) << baud;
    EXPECT_EQ(SpeedValue(SpeedCode(baud)), baud);
  }
  EXPECT_EQ(SpeedCode(0), static_cast<speed_t>(B0));
  EXPECT_EQ(SpeedCode(9601), static_cast<speed_t>(B0));
}

}  // namespace
}  // namespace marvolen
