// The line controller on the real serial driver and call line, with the modem emulator's
// logic behind the port and a caller dialling it, all on the virtual clock: a call from the
// ring to the refusal, and a serial device that is pulled out while the station uses it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CallHarness.h"
#include "TestSupport.h"
#include "app/LineController.h"
#include "app/SerialCallLine.h"
#include "call/LineTokens.h"
#include "call/SupervisionScript.h"
#include "link/PortDevices.h"
#include "link/SerialLine.h"
#include "link/testing/ScriptedLine.h"
#include "tests/link/ModemProbe.h"
#include "transfer/BlockFrame.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;

const std::string kGreeting = std::string(GreetingToken) + '\r';
const std::string kStars(66, '*');

// A serial adapter that can be pulled out and plugged in again. While it is out, every call
// on a device opened before fails with EIO (that handle stays dead for good, as a vanished
// device node's does) and opening the port finds no device.
class Socket {
 public:
  explicit Socket(DeviceOpener inner) : inner_(std::move(inner)) {}

  DeviceOpener Opener() {
    return [this](int port) -> OpenedDevice {
      ++open_attempts;
      if (out_) return {nullptr, ErrnoCode(ENOENT)};
      OpenedDevice opened = inner_(port);
      if (opened.device) {
        opened.device = std::make_unique<Device>(std::move(opened.device), *this, generation_);
      }
      return opened;
    };
  }
  void PullOut() {
    out_ = true;
    ++generation_;
  }
  void PlugIn() { out_ = false; }

  int open_attempts = 0;
  // The next this many modem-status reads fail with EIO, the device staying in place: a
  // passing fault.
  int failing_status_reads = 0;

 private:
  class Device final : public SerialDevice {
   public:
    Device(std::unique_ptr<SerialDevice> inner, Socket& socket, int generation)
        : inner_(std::move(inner)), socket_(socket), generation_(generation) {}

    std::error_code GetState(LineSettings& s) override {
      return Gone() ? Fail() : inner_->GetState(s);
    }
    std::error_code SetState(const LineSettings& s) override {
      return Gone() ? Fail() : inner_->SetState(s);
    }
    std::error_code SetTimeouts(const CommTimeouts& t) override {
      return Gone() ? Fail() : inner_->SetTimeouts(t);
    }
    std::error_code SetupQueues(std::uint32_t in, std::uint32_t out) override {
      return Gone() ? Fail() : inner_->SetupQueues(in, out);
    }
    std::error_code SetEventMask(std::uint32_t mask) override {
      return Gone() ? Fail() : inner_->SetEventMask(mask);
    }
    std::error_code Purge(std::uint32_t flags) override {
      return Gone() ? Fail() : inner_->Purge(flags);
    }
    std::error_code ClearErrors(CommStatus& status) override {
      return Gone() ? Fail() : inner_->ClearErrors(status);
    }
    std::error_code GetModemStatus(std::uint32_t& bits) override {
      if (socket_.failing_status_reads > 0) {
        --socket_.failing_status_reads;
        return Fail();
      }
      return Gone() ? Fail() : inner_->GetModemStatus(bits);
    }
    std::error_code Escape(int function) override {
      return Gone() ? Fail() : inner_->Escape(function);
    }
    std::error_code StartWrite(std::string_view bytes) override {
      return Gone() ? Fail() : inner_->StartWrite(bytes);
    }
    bool WaitWritten(Millis limit) override { return Gone() || inner_->WaitWritten(limit); }
    ReadResult Read(std::size_t count, std::string& out, Millis limit) override {
      if (Gone()) return {Fail(), false};
      return inner_->Read(count, out, limit);
    }
    bool WaitForInput(Millis limit, int stop_fd) override {
      // Nothing comes from a vanished device; the inner device still knows how to wait.
      return inner_->WaitForInput(limit, stop_fd);
    }

   private:
    bool Gone() const { return socket_.out_ || generation_ != socket_.generation_; }
    static std::error_code Fail() { return ErrnoCode(EIO); }

    std::unique_ptr<SerialDevice> inner_;
    Socket& socket_;
    int generation_;
  };

  DeviceOpener inner_;
  bool out_ = false;
  int generation_ = 0;
};

// The station's line as the line station wires it: driver, call line, controller and script,
// the driver's log lines in the log view. The admission is a stand-in that records the
// identification and admits or refuses as the test says.
class LineOnSerial : public ::testing::Test {
 protected:
  LineOnSerial() { serial.SetConfiguredPort(1); }

  void Tick() {
    window.timer_enabled = false;
    controller.Tick();
    EXPECT_TRUE(window.timer_enabled);
    clock.Advance(Millis(state.TimerInterval));
  }
  // Ticks until `done` holds, for at most `limit` of virtual time; true when it held.
  bool TickUntil(const std::function<bool()>& done, Millis limit) {
    const MonoTime end = clock.Now() + limit;
    while (!done()) {
      if (clock.Now() >= end) return false;
      Tick();
    }
    return true;
  }
  bool InState(std::string_view s) const { return state.LineState == s; }
  // A caller dials the waiting station and is greeted.
  void CallAndBeGreeted() {
    ASSERT_TRUE(phone.Dial());
    ASSERT_TRUE(TickUntil([&] { return InState("conectando"); }, Millis(5000)));
    EXPECT_EQ(phone.TakeCallerReceived(), kGreeting);
  }
  CallReason Admit(const std::string& ident) {
    idents.push_back(ident);
    return admit ? AdmitAs(state, ident) : CallReason::kWrongPassword;
  }
  int Shown(std::string_view prefix) const {
    int n = 0;
    for (const std::string& l : window.lines) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  int Logged(std::string_view text) const {
    int n = 0;
    for (const std::string& l : log) n += l == text;
    return n;
  }

  station_test::TempDir home;
  VirtualClock clock;
  ScriptedModemLine phone{clock};
  Socket socket{phone.Opener(1)};
  RecordingWindow window;
  std::vector<std::string> log;
  std::vector<std::string> idents;
  bool admit = false;
  CallState state;
  SerialLine serial{clock, socket.Opener(), [this](std::string_view l) { window.AddLine(l); }};
  SerialCallLine line{serial, clock, 9600, ArchiveHooks{}, TransferSinks{}};
  CallServices services{
      state, line, window, clock, [this](std::string_view t) { log.emplace_back(t); }, home.path()};
  SupervisionScript script{services, [](const std::string&, const std::string&) {}};
  LineController controller{services, [this](const std::string& l) { return Admit(l); }, script};
};

TEST_F(LineOnSerial, CallerIsGreetedIdentifiesIsRefusedAndTheNextCallerIsGreeted) {
  Tick();
  // The emulated modem echoes and answers each command of the reset.
  const std::vector<std::string> reset = {kStars, "ATZ", "OK", "AT&D2", "OK", "AT S0=1", "OK"};
  EXPECT_EQ(window.lines, reset);
  EXPECT_TRUE(InState("esperando"));

  CallAndBeGreeted();
  EXPECT_EQ(state.TimerInterval, 10);
  EXPECT_EQ(window.Count("Conectándose ..."), 1);

  // The modem's RING and CONNECT lines reached the controller before the identification;
  // neither they nor the noise bytes inside the line spoil it.
  phone.CallerSend("Ident=\b0000\n7\f\r");
  ASSERT_TRUE(TickUntil([&] { return !idents.empty(); }, Millis(2000)));
  EXPECT_EQ(idents, std::vector<std::string>{"Ident=00007"});
  EXPECT_EQ(window.Count("Ingreso No autorizado!!"), 1);
  EXPECT_EQ(Logged("Ingreso No autorizado!!"), 1);
  // The station's parting LF, then the hang-up of the line's reset.
  EXPECT_EQ(phone.TakeCallerReceived(), "\n");
  EXPECT_FALSE(phone.CallerConnected());
  EXPECT_EQ(phone.HangUps(), 1);
  EXPECT_TRUE(InState("esperando"));

  CallAndBeGreeted();
  EXPECT_EQ(window.Count("Conectándose ..."), 2);
  EXPECT_EQ(Shown("*ERROR"), 0);
}

// A caller identifies and hangs up in the same breath: the modem takes its bytes and drops
// the carrier before the station reads them. The next caller, who says nothing, is greeted
// and never admitted as the first one.
TEST_F(LineOnSerial, CallerThatHangsUpAsItIdentifiesLeavesNothingForTheNextCaller) {
  admit = true;
  Tick();
  CallAndBeGreeted();
  phone.CallerSend("Ident=00007\r");
  phone.CallerHangUp();
  TickUntil([] { return false; }, Millis(1000));
  ASSERT_TRUE(idents.empty()) << "the first caller was read before it was gone";

  ASSERT_TRUE(phone.Dial());
  std::string heard;
  ASSERT_TRUE(TickUntil(
      [&] {
        heard += phone.TakeCallerReceived();
        return heard.find(kGreeting) != std::string::npos;
      },
      Millis(15'000)));
  TickUntil([] { return false; }, Millis(2000));
  EXPECT_TRUE(idents.empty());
  EXPECT_TRUE(InState("conectando"));
  EXPECT_EQ(heard + phone.TakeCallerReceived(), kGreeting);
}

// A status read that fails once, the device staying in place, is shown and nothing more:
// neither the waiting line nor the call is disturbed.
TEST_F(LineOnSerial, PassingStatusFaultIsShownOnceAndTheCallGoesOn) {
  Tick();
  Tick();
  socket.failing_status_reads = 1;
  Tick();
  EXPECT_EQ(Shown("*ERROR Estado del Módem: ERROR LEYENDO ESTADO DEL MODEM EN COM1. "), 1);
  EXPECT_EQ(socket.open_attempts, 1);
  EXPECT_TRUE(InState("esperando"));

  CallAndBeGreeted();
  socket.failing_status_reads = 1;
  phone.CallerSend("Ident=00007\r");
  ASSERT_TRUE(TickUntil([&] { return !idents.empty(); }, Millis(2000)));
  EXPECT_EQ(Shown("*ERROR Estado del Módem: "), 2);
  EXPECT_EQ(idents, std::vector<std::string>{"Ident=00007"});
  EXPECT_EQ(socket.open_attempts, 2);  // the refusal's reset, nothing before it
}

class DevicePulled;

// Where the call stands when the adapter is pulled out.
struct PullRow {
  const char* name;
  void (*reach)(DevicePulled& t);
  bool script_started;
};

class DevicePulled : public LineOnSerial, public ::testing::WithParamInterface<PullRow> {
 public:
  // Helpers reachable from the rows.
  void Waiting() { Tick(); }
  void Greeted() {
    Tick();
    CallAndBeGreeted();
  }
  void InScript() {
    admit = true;
    Greeted();
    phone.CallerSend("Ident=00007\r");
    ASSERT_TRUE(TickUntil([&] { return InState("conectado"); }, Millis(2000)));
    Tick();  // the first step goes out
    ASSERT_EQ(state.ScriptStep, script::AwaitingAck(script::kDeleteTable));
  }
};

TEST_P(DevicePulled, FailureIsShownTheLineIsResetAndCallsAreServedOnceItIsBack) {
  GetParam().reach(*this);
  const auto before = window.lines.size();
  const int resets_before = window.Count(kStars);
  socket.PullOut();

  // Shown, and not once per tick: the call (if any) ends and the line is reset at once.
  ASSERT_TRUE(TickUntil([&] { return window.Count(kStars) > resets_before; }, Millis(1000)));
  const std::string status_failed = std::string("*ERROR Estado del Módem: ERROR LEYENDO ESTADO ") +
                                    "DEL MODEM EN COM1. " + std::to_string(EIO) + ": " +
                                    std::strerror(EIO) + ". ";
  EXPECT_EQ(window.lines.at(before), status_failed);
  EXPECT_EQ(Shown("Respuesta: ERROR, COM1 NOT FOUND. "), 1);
  EXPECT_TRUE(InState("esperando"));
  EXPECT_FALSE(phone.CallerConnected());
  EXPECT_EQ(Logged("Comunicación abortada!!!!"), GetParam().script_started ? 1 : 0);

  EXPECT_TRUE(controller.LineDown());
  EXPECT_EQ(controller.DownReason().rfind("ERROR, COM1 NOT FOUND. ", 0), 0u);

  // Out for five minutes: the station tries the port again after 1, 2, 4 ... 60 s (some
  // nine times, where once a minute would be five), and says nothing more: the reason has
  // not changed.
  const int attempts = socket.open_attempts;
  const auto shown = window.lines.size();
  ASSERT_FALSE(TickUntil([] { return false; }, Millis(5 * 60 * 1000)));
  EXPECT_GE(socket.open_attempts - attempts, 8);
  EXPECT_LE(socket.open_attempts - attempts, 10);
  EXPECT_EQ(window.lines.size(), shown);
  EXPECT_TRUE(InState("esperando"));
  EXPECT_TRUE(controller.LineDown());

  // Plugged in again: within a minute and a reset the modem answers calls as before.
  phone.TakeCallerReceived();  // what an earlier call got
  socket.PlugIn();
  const int greeted_before = window.Count("Conectándose ...");
  ASSERT_TRUE(TickUntil(
      [&] { return phone.Modem() != nullptr && ModemProbe::Register(*phone.Modem(), 0) == 1; },
      Millis(75'000)));
  ASSERT_TRUE(phone.Dial());
  ASSERT_TRUE(TickUntil([&] { return InState("conectando"); }, Millis(5000)));
  EXPECT_EQ(phone.TakeCallerReceived(), kGreeting);
  EXPECT_EQ(window.Count("Conectándose ..."), greeted_before + 1);
  EXPECT_FALSE(controller.LineDown());
}

INSTANTIATE_TEST_SUITE_P(
    Where, DevicePulled,
    ::testing::Values(PullRow{"Waiting", [](DevicePulled& t) { t.Waiting(); }, false},
                      PullRow{"Connecting", [](DevicePulled& t) { t.Greeted(); }, false},
                      PullRow{"InScript", [](DevicePulled& t) { t.InScript(); }, true}),
    [](const ::testing::TestParamInfo<PullRow>& info) { return std::string(info.param.name); });

// A port whose device is no serial device at all (MARVOLEN_COM1=/dev/null, or a regular
// file): the line cannot come up, and every status read fails. It is tried again after
// growing pauses like a device that went away, its failure shown once, not at every try
// nor at every idle tick in between.
TEST(LineOnNoSerialDevice, IsRetriedWithGrowingPausesShowingTheFailureOnce) {
  station_test::TempDir dir;
  const fs::path regular = dir.path() / "not-a-port";
  station_test::WriteFile(regular, "");
  for (const std::string& device : {std::string("/dev/null"), regular.string()}) {
    SCOPED_TRACE(device);
    VirtualClock clock;
    RecordingWindow window;
    CallState state;
    int opens = 0;
    const DeviceOpener system =
        SystemDeviceOpener(clock, [&](const std::string&) { return device; });
    SerialLine serial{clock,
                      [&](int port) {
                        ++opens;
                        return system(port);
                      },
                      [&](std::string_view l) { window.AddLine(l); }};
    serial.SetConfiguredPort(1);
    SerialCallLine line{serial, clock, 9600, ArchiveHooks{}, TransferSinks{}};
    CallServices services{state, line, window, clock, [](std::string_view) {}, dir.path()};
    SupervisionScript script{services, [](const std::string&, const std::string&) {}};
    LineController controller{
        services, [](const std::string&) { return CallReason::kWrongPassword; }, script};

    const MonoTime end = clock.Now() + Millis(5 * 60 * 1000);
    while (clock.Now() < end) {
      controller.Tick();
      clock.Advance(Millis(state.TimerInterval));
    }
    int resets = 0, errors = 0;
    for (const std::string& l : window.lines) {
      resets += l == kStars;
      errors += l.rfind("*ERROR", 0) == 0 || l.rfind("Respuesta: ", 0) == 0;
    }
    EXPECT_EQ(resets, 1);
    EXPECT_LE(errors, 2);
    EXPECT_GE(opens, 9);
    EXPECT_LE(opens, 11);
    EXPECT_EQ(state.LineState, "esperando");
    EXPECT_TRUE(controller.LineDown());
    // The reason is what the log view showed, once.
    EXPECT_EQ(window.Count("Respuesta: " + controller.DownReason()), 1);
  }
}

// The archive a call receives lands in the directory the call line is given, not in the
// process's current directory.
TEST(SerialCallLineReceive, StoresAndUnpacksTheArchiveInTheDirectoryItIsGiven) {
  station_test::TempDir dir;
  VirtualClock clock;
  ScriptedLine far{clock};
  SerialLine serial{clock, far.Opener(1), nullptr};
  serial.SetConfiguredPort(1);
  ASSERT_EQ(serial.OpenPort(1, 9600, kNoParity, 8, kOneStopBit), "");
  far.SetCarrier(true);
  std::vector<fs::path> unpacked_into;
  // Every length counts as a whole archive: the file is kept as it came.
  ArchiveHooks hooks{
      [](std::string_view bytes, std::size_t) { return std::optional<std::size_t>(bytes.size()); },
      [&](const fs::path&, const fs::path& into, const EntryFilter&) {
        unpacked_into.push_back(into);
      }};
  SerialCallLine line{serial, clock, 9600, hooks, TransferSinks{}};
  int acks = 0;
  far.OnWrite([&](std::string_view bytes) {
    if (bytes == "C") far.Send(block::BuildFrame(1, std::string(128, 'r'), block::CheckMode::kCrc));
    if (bytes == "\x06" && ++acks == 1) far.Send(std::string(1, block::kEot));
  });
  const fs::path before = fs::current_path();
  EXPECT_EQ(line.ReceiveFile(dir.path(), {"trafico.trf"}, {}).result, "Transferencia OK");
  EXPECT_EQ(station_test::ReadFile(dir.path() / "recibo.zip"), std::string(128, 'r'));
  EXPECT_EQ(unpacked_into, std::vector<fs::path>{dir.path()});
  EXPECT_EQ(fs::current_path(), before);
}

}  // namespace
}  // namespace marvolen::testing
