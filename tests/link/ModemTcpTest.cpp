// The modem emulator's telephone line over real loopback TCP: a caller is a TCP client.
// The station side runs on the virtual clock; the only real waits are for the kernel to
// hand over loopback bytes, and they end as soon as the bytes are there.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/PortDevices.h"
#include "link/SerialLine.h"
#include "link/TcpModem.h"
#include "platform/SystemCalls.h"
#include "tests/link/ModemProbe.h"

namespace marvolen {
namespace {

using Lines = std::vector<std::string>;

class Caller {
 public:
  explicit Caller(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~Caller() { Close(); }
  bool Connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void Send(std::string_view bytes) const {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // What has arrived, without waiting; sets `ended` when the modem closed the call.
  std::string Take() {
    std::string got;
    char buffer[512];
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended_ = true;
      return got;
    }
  }
  bool Ended() const { return ended_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool ended_ = false;
};

// The virtual clock, except that a wait on descriptors of which one is readable already ends
// at once, as on the real clock: what a wait on the stop beside the line needs.
class WatchingClock final : public Clock {
 public:
  MonoTime Now() const override { return clock_.Now(); }
  WallTime WallNow() const override { return clock_.WallNow(); }
  void Sleep(Millis d) override { clock_.Sleep(d); }
  bool WaitReadable(int fd, Millis d) override {
    const int one[] = {fd};
    return WaitAnyReadable(one, d) == 0;
  }
  int WaitAnyReadable(std::span<const int> fds, Millis d) override {
    for (std::size_t i = 0; i < fds.size(); ++i) {
      pollfd p{fds[i], POLLIN, 0};
      if (fds[i] >= 0 && ::poll(&p, 1, 0) == 1) return static_cast<int>(i);
    }
    return clock_.WaitAnyReadable(fds, d);
  }
  void Advance(Millis d) { clock_.Advance(d); }

 private:
  VirtualClock clock_;
};

template <typename StationClock>
struct BasicStation {
  StationClock clock;
  // Declared before the port, so that it outlives the line the port leaves in it.
  std::shared_ptr<ModemPark> park = std::make_shared<ModemPark>();
  TcpModem* modem = nullptr;
  std::string address = "tcp-modem:127.0.0.1:0";
  Lines log;
  SerialLine serial{clock,
                    [this](int port) -> OpenedDevice {
                      OpenedDevice d = OpenDeviceByName(address, clock, park);
                      if (port == 1) modem = static_cast<TcpModem*>(d.device.get());
                      return d;
                    },
                    [this](std::string_view l) { log.emplace_back(l); }};

  BasicStation() {
    serial.SetConfiguredPort(1);
    Open();
  }
  void Open() {
    ASSERT_EQ(serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit), "");
    ASSERT_EQ(serial.PurgeAll(1), "");
    ASSERT_EQ(serial.SetPortLines(1, kSetRts), "");
    ASSERT_EQ(serial.SetPortLines(1, kSetDtr), "");
  }
  void Initialise() {
    for (const char* command : {"ATZ", "AT&D2", "AT S0=1"}) {
      log.clear();
      serial.SendModemCommand(command);
      EXPECT_EQ(log, (Lines{command, "OK"}));
    }
  }
  // The station's initialisation with a caller ringing: the log, RING lines left out.
  Lines InitialiseRinging() {
    Lines heard;
    for (const char* command : {"ATZ", "AT&D2", "AT S0=1"}) {
      log.clear();
      serial.SendModemCommand(command);
      for (const std::string& line : log) {
        if (line != "RING") heard.push_back(line);
      }
    }
    return heard;
  }
  // Moves the clock on in steps until the carrier is up or `limit` has passed.
  bool AwaitCarrier(Millis limit) {
    const MonoTime end = clock.Now() + limit;
    while (serial.CarrierLost() && clock.Now() < end) clock.Advance(Millis(50));
    return !serial.CarrierLost();
  }
  std::uint16_t Port() const { return ModemProbe::LocalPort(*modem); }
  // Lets the kernel deliver loopback traffic and the modem take it, until `done` holds. It
  // sleeps as the station does: on what the port says to sleep on, asked just before.
  bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 300; ++i) {
      if (done()) return true;
      pollfd p{serial.Wake().fd, POLLIN, 0};
      ::poll(&p, 1, 10);
      serial.ReadModemStatus(1);  // the driver call after the sleep lets the modem do its work
    }
    return done();
  }
  // Everything the station receives until `expected` has come.
  std::string ReceiveUntil(const std::string& expected) {
    std::string got;
    Eventually([&] {
      got += serial.ReceiveText(0 + 1);
      return got.find(expected) != std::string::npos;
    });
    return got;
  }
  // Listens again on a line paced at 9600 bit/s, the modem initialised.
  void Pace() {
    serial.ClosePort(1);
    address += ",paced";
    Open();
    Initialise();
  }
  // Hands the caller's bytes to the line, and lets the modem take them in.
  void Offer(Caller& caller, const std::string& bytes) {
    caller.Send(bytes);
    EXPECT_TRUE(Eventually([&] { return serial.Wake().due.has_value(); }));
  }
  // Takes a caller through to the answered call.
  void Answer(Caller& caller) {
    ASSERT_TRUE(caller.Connected());
    EXPECT_EQ(ReceiveUntil("RING\r\n"), "\r\nRING\r\n");
    const MonoTime ring = clock.Now();
    while (serial.CarrierLost() && ElapsedMs(ring, clock.Now()) < 10000) {
      clock.Advance(Millis(100));
    }
    EXPECT_LE(ElapsedMs(ring, clock.Now()), 2000);
    EXPECT_EQ(serial.ReceiveText(1), "\r\nCONNECT 9600\r\n");
  }
};

using Station = BasicStation<VirtualClock>;

TEST(ModemTcpAddress, ParsesTheDeviceName) {
  struct Row {
    const char* name;
    bool valid;
    const char* host;
    const char* port;
    bool paced;
  };
  const Row rows[] = {
      {"tcp-modem:127.0.0.1:5000", true, "127.0.0.1", "5000", false},
      {"tcp-modem:localhost:0,paced", true, "localhost", "0", true},
      {"tcp-modem:[::1]:65535", true, "::1", "65535", false},
      {"tcp-modem::5000", true, "", "5000", false},
      {"tcp-modem:", false, "", "", false},
      {"tcp-modem:host", false, "", "", false},
      {"tcp-modem:host:", false, "", "", false},
      {"tcp-modem:host:65536", false, "", "", false},
      {"tcp-modem:host:50a", false, "", "", false},
      {"tcp-modem:a:b:5000", false, "", "", false},
      {"tcp-modem:[::1]5000", false, "", "", false},
      {"tcp-modem:host:5000,slow", false, "", "", false},
      {"/dev/ttyS0", false, "", "", false},
  };
  for (const Row& row : rows) {
    const auto parsed = ParseModemAddress(row.name);
    ASSERT_EQ(parsed.has_value(), row.valid) << row.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, row.host) << row.name;
    EXPECT_EQ(parsed->port, row.port) << row.name;
    EXPECT_EQ(parsed->paced, row.paced) << row.name;
  }
}

TEST(ModemTcp, AWholeCallFromRingToNoCarrier) {
  Station s;
  s.Initialise();
  EXPECT_TRUE(s.serial.CarrierLost());
  Caller caller(s.Port());
  s.Answer(caller);
  EXPECT_FALSE(s.serial.CarrierLost());

  const std::string ident = std::string("Ident=0012\x00\xe9", 12) + "\r";
  caller.Send(ident);
  EXPECT_EQ(s.ReceiveUntil("\r"), ident);
  const std::string greeting("\x9e\x4a\xd7\xb2\x05\xf1\x6c\x88\x3d\xe4\xa9\x57\r", 13);
  s.serial.SendText(greeting);
  std::string heard;
  ASSERT_TRUE(s.Eventually([&] { return (heard += caller.Take()).size() >= greeting.size(); }));
  EXPECT_EQ(heard, greeting);  // the line's bytes only: no RING, no CONNECT

  caller.Close();
  EXPECT_TRUE(s.Eventually([&] { return s.serial.CarrierLost(); }));
  EXPECT_EQ(s.serial.ReceiveText(1), "\r\nNO CARRIER\r\n");
  EXPECT_TRUE(s.log.empty() || s.log.back() == "OK");
}

// What a station that sleeps between its looks at the port sleeps on: the emulator's one
// descriptor for callers and their bytes, and the time of its own next event (the answer, the
// next batch of paced bytes), with the bytes it already holds said apart.
TEST(ModemTcp, TheDeviceSaysWhatToSleepOn) {
  Station s;
  s.serial.ClosePort(1);
  s.address += ",paced";
  s.Open();
  s.Initialise();
  DeviceWake wake = s.serial.Wake();
  EXPECT_EQ(wake.fd, ModemProbe::PollDescriptor(*s.modem));
  EXPECT_FALSE(wake.fd_is_input);
  EXPECT_TRUE(wake.status_signalled);
  EXPECT_FALSE(wake.due.has_value());  // idle: nothing of its own to do
  EXPECT_FALSE(wake.input_waiting);

  Caller caller(s.Port());
  ASSERT_TRUE(caller.Connected());
  pollfd p{wake.fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 5000), 1);    // the caller wakes the sleeper
  EXPECT_TRUE(s.serial.CarrierLost());  // the look takes the caller: it rings
  wake = s.serial.Wake();
  EXPECT_TRUE(wake.input_waiting);  // "RING", held by the modem
  ASSERT_TRUE(wake.due.has_value());
  EXPECT_EQ(ElapsedMs(s.clock.Now(), *wake.due), 500);  // the answer
  s.clock.Advance(Millis(500));
  EXPECT_FALSE(s.serial.CarrierLost());
  s.serial.PurgeInput(1);

  caller.Send(std::string(100, 'x'));
  ASSERT_TRUE(s.Eventually([&] { return s.serial.Wake().due.has_value(); }));
  wake = s.serial.Wake();
  EXPECT_FALSE(wake.input_waiting);  // on its way at 960 bytes a second
  // A batch of 16 bytes: some 16.7 ms, rounded to the millisecond above.
  const long long batch_ms = ElapsedMs(s.clock.Now(), *wake.due);
  EXPECT_GE(batch_ms, 15);
  EXPECT_LE(batch_ms, 17);
  s.clock.Advance(std::chrono::ceil<Millis>(*wake.due - s.clock.Now()));
  ASSERT_EQ(s.serial.ClearPortErrors(1), "");
  EXPECT_GE(s.serial.Ports().Find(1)->status.cbInQue, 16u);
  EXPECT_TRUE(s.serial.Wake().input_waiting);
}

// A wait for the far end in a call sleeps on the stop beside the line: the station being
// stopped ends it at once, not at the end of the wait (a transfer looks at its bounds only
// between its waits).
TEST(ModemTcp, AStopEndsAWaitForTheFarEndAtOnce) {
  BasicStation<WatchingClock> s;
  s.Initialise();
  Caller caller(s.Port());
  s.Answer(caller);
  int stop[2];
  ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
  const UniqueFd stop_read(stop[0]), stop_write(stop[1]);
  s.serial.SetStopWake(stop_read.get());

  MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReceiveText(3), "");  // a silent office: the whole wait
  EXPECT_EQ(ElapsedMs(start, s.clock.Now()), 3000);

  ASSERT_EQ(::write(stop_write.get(), "", 1), 1);
  for (const std::size_t wanted : {1u, 133u}) {  // a reply, the rest of a block
    start = s.clock.Now();
    EXPECT_EQ(s.serial.ReceiveText(3, wanted), "");
    EXPECT_EQ(ElapsedMs(start, s.clock.Now()), 0) << wanted;
  }
  // What the office sent is still read on the way out, without waiting.
  caller.Send("bye");
  std::string got;
  EXPECT_TRUE(s.Eventually([&] { return (got += s.serial.ReceiveText(1)) == "bye"; }));
}

// A paced stream wakes the station once per batch, and the calls each wake makes into the
// port (the controller's looks at the carrier, the errors and the status, then its read) share
// one look at the sockets; a full queue costs no look of its own.
TEST(ModemTcp, APacedStreamCostsOneLookAtTheSocketsPerBatch) {
  Station s;
  s.Pace();
  Caller caller(s.Port());
  s.Answer(caller);
  s.serial.PurgeInput(1);
  s.Offer(caller, std::string(9600, '\n'));  // ten seconds of the line: the queue fills

  const std::uint64_t looks_before = ModemProbe::SocketLooks(*s.modem);
  std::size_t received = 0;
  int wakes = 0;
  const MonoTime end = s.clock.Now() + Millis(1000);
  while (s.clock.Now() < end) {
    const DeviceWake wake = s.serial.Wake();
    ASSERT_TRUE(wake.due.has_value());
    s.clock.Advance(std::chrono::ceil<Millis>(*wake.due - s.clock.Now()));
    ++wakes;
    EXPECT_FALSE(s.serial.CarrierLost());
    ASSERT_EQ(s.serial.ClearPortErrors(1), "");
    ASSERT_EQ(s.serial.ReadModemStatus(1), "");
    ASSERT_EQ(s.serial.ReadPort(1), "");
    received += s.serial.Ports().Find(1)->received.size();
  }
  EXPECT_NEAR(static_cast<double>(received), 960, 16);  // the line's pace
  EXPECT_LE(wakes, 61);                                 // a wake per 16 bytes
  EXPECT_LE(ModemProbe::SocketLooks(*s.modem) - looks_before, wakes + 4u);
}

// A reader that needs a whole block sleeps through the paced line's batches: one wait, ended
// when the block's last byte has crossed the line, and not a moment sooner.
TEST(ModemTcp, AReaderOfAWholeBlockWakesOnceWhenItsLastByteHasCrossed) {
  Station s;
  s.Pace();
  Caller caller(s.Port());
  s.Answer(caller);
  s.serial.PurgeInput(1);
  s.Offer(caller, std::string(133, 'b'));  // a 128-byte block with its header and check

  const std::uint64_t looks_before = ModemProbe::SocketLooks(*s.modem);
  const MonoTime start = s.clock.Now();
  EXPECT_EQ(s.serial.ReceiveText(1, 133), std::string(133, 'b'));
  // 133 bytes of ten bit times at 9600 bit/s: 138.5 ms.
  EXPECT_GE(ElapsedMs(start, s.clock.Now()), 138);
  EXPECT_LE(ElapsedMs(start, s.clock.Now()), 140);
  EXPECT_LE(ModemProbe::SocketLooks(*s.modem) - looks_before, 2u);

  // A block whose end has not reached the line: what is on its way is handed over when it
  // has come, so that the wait for the rest counts from its last byte.
  s.Offer(caller, std::string(20, 'c'));
  const MonoTime part = s.clock.Now();
  EXPECT_EQ(s.serial.ReceiveText(1, 133), std::string(20, 'c'));
  EXPECT_LE(ElapsedMs(part, s.clock.Now()), 22);  // 20.8 ms, not the second
}

// With the station's queue full the caller's bytes stay with TCP, but a caller who hangs up
// still drops the carrier at once, not once the queue has drained.
TEST(ModemTcp, ACallerLeavingWhileTheQueueIsFullDropsTheCarrier) {
  Station s;
  s.Initialise();
  Caller caller(s.Port());
  s.Answer(caller);
  s.serial.PurgeInput(1);
  caller.Send(std::string(4096, 'x'));  // just what the queue holds
  ASSERT_TRUE(s.Eventually([&] {
    return s.serial.ClearPortErrors(1).empty() && s.serial.Ports().Find(1)->status.cbInQue >= 4096;
  }));
  caller.Close();
  EXPECT_TRUE(s.Eventually([&] { return s.serial.CarrierLost(); }));
}

TEST(ModemTcp, DtrDropAndPortCloseHangUp) {
  Station s;
  s.Initialise();
  {
    Caller caller(s.Port());
    s.Answer(caller);
    EXPECT_EQ(s.serial.SetPortLines(1, kClrDtr), "");
    EXPECT_TRUE(s.serial.CarrierLost());
    EXPECT_EQ(s.serial.ReceiveText(1), "\r\nNO CARRIER\r\n");
    EXPECT_TRUE(s.Eventually([&] { return caller.Take(), caller.Ended(); }));
  }
  ASSERT_EQ(s.serial.SetPortLines(1, kSetDtr), "");
  Caller caller(s.Port());
  s.Answer(caller);
  s.serial.SendText("bye");
  const std::uint16_t port = s.Port();
  EXPECT_EQ(s.serial.ClosePort(1), "");
  std::string last;
  for (int i = 0; i < 200 && !caller.Ended(); ++i) {
    pollfd p{-1, 0, 0};
    ::poll(&p, 0, 10);
    last += caller.Take();
  }
  EXPECT_TRUE(caller.Ended());
  EXPECT_EQ(last, "bye");  // what was sent before the hang-up still arrives

  // The port listens again at once on the same address, although the old connection
  // lingers in TIME_WAIT.
  s.address = "tcp-modem:127.0.0.1:" + std::to_string(port);
  s.Open();
  EXPECT_EQ(s.Port(), port);
  s.Initialise();
  Caller again(port);
  s.Answer(again);
}

// A caller that arrives before the modem is told to answer rings and is answered at the
// ring after "AT S0=1"; a caller that arrives while another rings or talks finds the line busy.
TEST(ModemTcp, CallersRingUntilAnsweredAndFindTheLineBusyMeanwhile) {
  Station s;
  Caller early(s.Port());  // S0 is 0 after power-on
  EXPECT_EQ(s.ReceiveUntil("RING\r\n"), "\r\nRING\r\n");
  Caller ringing_busy(s.Port());
  EXPECT_TRUE(s.Eventually([&] { return ringing_busy.Take(), ringing_busy.Ended(); }));

  // Six seconds of the station's reset: the second ring comes during "AT S0=1".
  EXPECT_EQ(s.InitialiseRinging(), (Lines{"ATZ", "OK", "AT&D2", "OK", "AT S0=1", "OK"}));
  EXPECT_TRUE(s.serial.CarrierLost());
  EXPECT_TRUE(s.AwaitCarrier(Millis(1000)));
  EXPECT_EQ(s.serial.ReceiveText(1), "\r\nCONNECT 9600\r\n");
  EXPECT_EQ(early.Take(), "");
  EXPECT_FALSE(early.Ended());

  Caller talking_busy(s.Port());
  EXPECT_TRUE(s.Eventually([&] { return talking_busy.Take(), talking_busy.Ended(); }));
  early.Send("still here");
  EXPECT_EQ(s.ReceiveUntil("here"), "still here");
  EXPECT_FALSE(early.Ended());
  EXPECT_FALSE(s.serial.CarrierLost());
}

// The station resets its modem after every call by closing the port and opening it again: a
// caller who dials while the port is closed, or who rings as it closes, is answered once the
// reset has set auto-answer again.
TEST(ModemTcp, ACallerDiallingDuringTheResetAfterACallIsServed) {
  Station s;
  s.address = "tcp-modem:127.0.0.1:" + std::to_string(s.Port());
  s.Initialise();
  Caller served(s.Port());
  s.Answer(served);
  served.Close();
  ASSERT_TRUE(s.Eventually([&] { return s.serial.CarrierLost(); }));

  const std::uint16_t port = s.Port();
  ASSERT_EQ(s.serial.ClosePort(1), "");
  Caller next(port);  // the line is still there while the port is closed
  ASSERT_TRUE(next.Connected());
  s.clock.Advance(Millis(1000));
  s.Open();
  EXPECT_EQ(s.InitialiseRinging(), (Lines{"ATZ", "OK", "AT&D2", "OK", "AT S0=1", "OK"}));
  EXPECT_TRUE(s.AwaitCarrier(Millis(6600)));  // the next ring of the cadence
  EXPECT_EQ(next.Take(), "");
  EXPECT_FALSE(next.Ended());
  next.Close();
  ASSERT_TRUE(s.Eventually([&] { return s.serial.CarrierLost(); }));

  // Ringing as the port closes: closing it does not hang up a caller nobody answered.
  ASSERT_EQ(s.serial.ClosePort(1), "");
  s.Open();  // a modem fresh from power-on: S0 is 0
  Caller held(port);
  EXPECT_EQ(s.ReceiveUntil("RING\r\n"), "\r\nRING\r\n");
  ASSERT_EQ(s.serial.ClosePort(1), "");
  s.clock.Advance(Millis(3000));
  s.Open();
  // The third ring, 12 s after the first, is the first with auto-answer on.
  EXPECT_EQ(s.InitialiseRinging(), (Lines{"ATZ", "OK", "AT&D2", "OK", "AT S0=1", "OK"}));
  EXPECT_TRUE(s.AwaitCarrier(Millis(6600)));
  held.Send("Ident");
  EXPECT_EQ(s.ReceiveUntil("Ident"), "\r\nRING\r\n\r\nCONNECT 9600\r\nIdent");
}

TEST(ModemTcp, AnAddressInUseOrMalformedCannotBeOpened) {
  Station s;
  s.address = "tcp-modem:127.0.0.1:" + std::to_string(s.Port());
  EXPECT_EQ(s.serial.OpenPort(2, 9600, kNoParity, 8, kOneStopBit), "ERROR, CAN NOT OPEN COM2. ");
  s.address = "tcp-modem:127.0.0.1";
  EXPECT_EQ(s.serial.OpenPort(3, 9600, kNoParity, 8, kOneStopBit), "ERROR, CAN NOT OPEN COM3. ");
  s.address = "tcp-modem:no-such-host.invalid:5000";
  EXPECT_EQ(s.serial.OpenPort(4, 9600, kNoParity, 8, kOneStopBit), "ERROR, CAN NOT OPEN COM4. ");
}

TEST(ModemTcp, FaultsOverTheSocket) {
  Station s;
  s.Initialise();
  Caller caller(s.Port());
  s.Answer(caller);
  ModemProbe::InjectFault(s.modem->Modem(), {LineDirection::kToCaller, 0, 1, 0x01});
  EXPECT_EQ(s.serial.WritePort(1, std::string(48, 'a'), true), "");
  std::string heard;
  ASSERT_TRUE(s.Eventually([&] { return (heard += caller.Take()).size() >= 48; }));
  EXPECT_EQ(heard, "`" + std::string(47, 'a'));

  s.modem->Modem().DropCarrier();
  EXPECT_TRUE(s.serial.CarrierLost());
  EXPECT_TRUE(s.Eventually([&] { return caller.Take(), caller.Ended(); }));
}

}  // namespace
}  // namespace marvolen
