// The station with its line as the programs build it, on the virtual clock: the housekeeping
// it does while it runs, the line's live state in "lines/NAME.json" (over the modem double,
// and with no device at all), and what the service manager hears of it.
#include "app/LineStation.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "FakeCallLine.h"
#include "IdentBuilder.h"
#include "TestSupport.h"
#include "app/ConsoleWindow.h"
#include "app/LineLiveState.h"
#include "app/ServiceNotify.h"
#include "app/StationConfig.h"
#include "call/LineTokens.h"
#include "link/testing/ScriptedLine.h"
#include "platform/ServiceManager.h"
#include "platform/SystemCalls.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;

TEST(LineStationHousekeeping, TranscriptsAgeAtStartAndEveryDayAfterWithLinksShown) {
  station_test::UseUtc();
  station_test::TempDir home, work;
  ::setenv("MARVOLEN_COM1", (home.dir() + "no-such-device").c_str(), 1);
  StationConfig config;
  config.PortNumber = 1;
  config.WorkDir = work.dir();
  station_test::WriteFile(home.path() / kStationConfigFile, BuildStationConfigRecord(config));
  const fs::path old = work.path() / "calls/2026-10-01/100000-loc07.txt";  // now: 7 December
  fs::create_directories(old.parent_path());
  fs::create_directory_symlink(home.path(), work.path() / "calls/2026-10-02");
  VirtualClock clock;
  RecordingWindow window;
  const auto station = MakeLineStation(window, clock, home.path());
  station->FormCreate();
  for (const int hours : {0, 1, 23}) {
    fs::create_directories(old.parent_path());
    station_test::WriteFile(old, "old");
    clock.Advance(std::chrono::hours(hours));
    station->Timer1Timer();
    EXPECT_EQ(fs::exists(old), hours == 1) << hours;
  }
  EXPECT_EQ(window.Count("Transcripciones: calls/2026-10-02 es un enlace simbólico; no se sigue "
                         "ni se borra"),
            2);
  ::unsetenv("MARVOLEN_COM1");
}

// Without MARVOLEN_LINE a line is named by its device, so that stations sharing a working
// directory each on its own port 1 do not collide; the name stays a valid file name and label.
TEST(LineName, TakenFromTheDeviceUnlessGiven) {
  const struct {
    const char* device;
    int port;
    const char* name;
  } rows[] = {
      {"/dev/ttyS0", 1, "ttyS0"},
      {"/dev/ttyUSB1", 2, "ttyUSB1"},
      {"tcp-modem:127.0.0.1:7007", 1, "tcp7007"},
      {"tcp-modem:[::1]:7008,paced", 1, "tcp7008"},
      {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", 1,
       "32R_USB_UART_A50285BI-if00-port0"},
      {"/dev/tty:x y", 3, "tty_x_y"},
      {"/dev/.hidden", 4, "com4"},
      {"/", 4, "com4"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(DefaultLineName(row.device, row.port), row.name) << row.device;
  std::string error;
  ::setenv("MARVOLEN_COM1", "/dev/ttyACM0", 1);
  EXPECT_EQ(LineNameFor(1, nullptr, error), "ttyACM0");
  EXPECT_EQ(LineNameFor(1, "norte", error), "norte");
  EXPECT_FALSE(LineNameFor(1, "../norte", error));
  ::unsetenv("MARVOLEN_COM1");
}

// A station home and working directory with port 1 configured, and a line station on them
// whose port opens with the opener the test gives.
class LiveLine : public ::testing::Test {
 protected:
  void SetUp() override {
    station_test::UseUtc();
    ::unsetenv(kLineNameVariable);
    ::setenv("MARVOLEN_COM1", "/dev/marvolen-test-none", 1);
    StationConfig config;
    config.PortNumber = 1;
    config.WorkDir = work.dir();
    station_test::WriteFile(home.path() / kStationConfigFile, BuildStationConfigRecord(config));
  }
  void TearDown() override { ::unsetenv("MARVOLEN_COM1"); }

  void Start(DeviceOpener opener) {
    station = LineStationFactory(std::move(opener))(window, clock, home.path());
    station->SetLineObserver([this](const LineStatus& s) { told.push_back(s); });
    station->FormCreate();
  }
  void Tick() {
    station->Timer1Timer();
    clock.Advance(Millis(station->state.TimerInterval));
  }
  void TickFor(Millis d) {
    const MonoTime end = clock.Now() + d;
    while (clock.Now() < end) Tick();
  }
  // Runs the station as the console does once its line is built: sleeps until the line's next
  // deadline, then ticks, until `span` has passed or `done`. Gives back the ticks it ran.
  int RunByWakes(Millis span, const std::function<bool()>& done = {}) {
    const MonoTime end = clock.Now() + span;
    int ticks = 0;
    while (clock.Now() < end && ticks < 100'000 && !(done && done())) {
      const std::optional<WakeUp> wake = station->NextWake();
      if (!wake) {
        ADD_FAILURE() << "the line keeps no account of what it waits for";
        return ticks;
      }
      clock.Advance(std::chrono::ceil<Millis>(std::min(wake->due, end) - clock.Now()));
      station->Timer1Timer();
      ++ticks;
    }
    return ticks;
  }
  LineStatus File() const {
    const auto files = ReadLineStatuses(work.dir());
    if (files.size() != 1 || files[0].name != "marvolen-test-none" || !files[0].status) {
      ADD_FAILURE() << "no single readable lines/marvolen-test-none.json";
      return {};
    }
    return *files[0].status;
  }
  std::vector<std::string> ToldStates() const {
    std::vector<std::string> states;
    for (const LineStatus& s : told) states.push_back(s.state);
    return states;
  }

  station_test::TempDir home, work;
  VirtualClock clock;
  RecordingWindow window;
  std::unique_ptr<Station> station;
  std::vector<LineStatus> told;
};

// Waiting, a caller greeted (in a call, before any office), refused, waiting again; the
// heartbeat rewrites the file once a minute when nothing happens; the stop leaves "stopped".
TEST_F(LiveLine, StatesOfACallTheHeartbeatAndTheStop) {
  ScriptedModemLine phone{clock};
  Start(phone.Opener(1));
  Tick();
  EXPECT_EQ(ToldStates(), (std::vector<std::string>{"starting", "waiting"}));
  LineStatus now = File();
  EXPECT_EQ(now.state, "waiting");
  EXPECT_EQ(now.line, "marvolen-test-none");  // named by its device
  EXPECT_EQ(now.device, "/dev/marvolen-test-none");
  EXPECT_EQ(now.pid, static_cast<long>(::getpid()));
  const WallTime beat = now.heartbeat;

  // Nothing happens for a minute: the file is rewritten once, with a new heartbeat only.
  TickFor(Millis(59'000));
  EXPECT_EQ(File().heartbeat, beat);
  TickFor(Millis(2'000));
  now = File();
  EXPECT_GE(now.heartbeat - beat, std::chrono::seconds(60));
  EXPECT_EQ(now.since, beat);
  EXPECT_EQ(told.size(), 2u);  // a heartbeat is no change

  ASSERT_TRUE(phone.Dial());
  for (int i = 0; i < 100 && station->state.LineState != kStateConnecting; ++i) Tick();
  now = File();
  EXPECT_EQ(now.state, "in_call");
  EXPECT_EQ(now.office, 0);
  EXPECT_EQ(now.step, "saludo, esperando la identificación");
  EXPECT_GT(now.since, beat);
  EXPECT_LE(now.since, clock.WallNow());
  EXPECT_GE(now.bytes_sent, std::string(GreetingToken).size());

  // An office the station does not know: refused, and the line waits again.
  phone.CallerSend("Ident=99999\r");
  for (int i = 0; i < 2000 && ToldStates().back() != "waiting"; ++i) Tick();
  EXPECT_EQ(ToldStates(),
            (std::vector<std::string>{"starting", "waiting", "in_call", "resetting", "waiting"}));
  now = File();
  EXPECT_EQ(now.state, "waiting");
  EXPECT_EQ(now.bytes_sent, 0u);

  station->Stopping();
  EXPECT_EQ(File().state, "stopped");
  EXPECT_EQ(ToldStates().back(), "stopped");
}

// Woken only when there is something to do: an idle line for its state file's heartbeat, a
// caller by the modem's ring and answer, the caller's silence by the greeting's deadline.
TEST_F(LiveLine, RunByItsWakeUpsTheLineSleepsWhileIdleAndAnswersACaller) {
  ScriptedModemLine phone{clock};
  Start(phone.Opener(1));
  EXPECT_FALSE(station->NextWake().has_value());  // the first tick builds the line
  Tick();
  const WallTime beat = File().heartbeat;
  // Woken for the heartbeat once a minute, and for nothing else.
  EXPECT_LE(RunByWakes(Millis(150'000)), 3);
  EXPECT_GE(File().heartbeat - beat, std::chrono::seconds(120));
  EXPECT_LE(File().heartbeat - beat, std::chrono::seconds(121));
  EXPECT_LE(RunByWakes(Millis(10 * 60'000)), 11);
  EXPECT_EQ(station->state.LineState, kStateWaiting);

  ASSERT_TRUE(phone.Dial());
  const MonoTime dialled = clock.Now();
  RunByWakes(Millis(10'000), [&] { return station->state.LineState == kStateConnecting; });
  EXPECT_EQ(station->state.LineState, kStateConnecting);
  EXPECT_LE(ElapsedMs(dialled, clock.Now()), 600);  // rung at once, answered half a second on
  EXPECT_NE(phone.TakeCallerReceived().find(GreetingToken), std::string::npos);

  // The caller says nothing: greeted again ten seconds on, without a tick in between.
  const MonoTime greeted = clock.Now();
  EXPECT_LE(RunByWakes(Millis(10'001)), 2);
  EXPECT_NE(phone.TakeCallerReceived().find(GreetingToken), std::string::npos);
  EXPECT_EQ(ElapsedMs(greeted, clock.Now()), 10'001);
}

// A caller answered while the line reset's last modem command waits for its answer: the carrier
// came inside the tick, and nothing signals it after; the line still takes the call at once.
TEST_F(LiveLine, ACallerAnsweredDuringTheResetIsTakenAtOnce) {
  ScriptedModemLine phone{clock};
  Start(phone.Opener(1));
  // "AT S0=1" goes out some 8.4 s into the reset; its answer is awaited for two seconds.
  clock.At(Millis(9000), [&phone] { EXPECT_TRUE(phone.Dial()); });
  Tick();
  ASSERT_TRUE(phone.CallerConnected());
  const MonoTime reset_done = clock.Now();
  RunByWakes(Millis(30'000), [&] { return station->state.LineState == kStateConnecting; });
  EXPECT_EQ(station->state.LineState, kStateConnecting);
  EXPECT_LE(ElapsedMs(reset_done, clock.Now()), 1000);
}

// A caller who dials while the reset has the modem not answering (ATZ has set S0 back to 0)
// rings through the rest of it and is answered at the first ring after "AT S0=1"; the rings
// the station did not read mislead nothing, and the greeting goes only once the call is up.
TEST_F(LiveLine, ACallerRingingThroughTheResetIsAnsweredAtTheRingAfterIt) {
  ScriptedModemLine phone{clock};
  Start(phone.Opener(1));
  MonoTime dialled{};
  clock.At(Millis(3000), [&] {
    EXPECT_TRUE(phone.Dial());
    dialled = clock.Now();
  });
  Tick();
  EXPECT_EQ(station->state.LineState, kStateWaiting);
  EXPECT_TRUE(phone.CallerConnected());
  EXPECT_EQ(phone.CallerReceived(), "");
  RunByWakes(Millis(30'000), [&] { return station->state.LineState == kStateConnecting; });
  ASSERT_EQ(station->state.LineState, kStateConnecting);
  // Rung at once and 6 s on, after "AT S0=1": answered half a second later, while the reset
  // still waits for that command's answers, and taken as the reset ends.
  EXPECT_GE(ElapsedMs(dialled, clock.Now()), 6'500);
  EXPECT_LE(ElapsedMs(dialled, clock.Now()), 8'500);
  EXPECT_EQ(phone.HangUps(), 0);
  EXPECT_EQ(phone.TakeCallerReceived(), std::string(GreetingToken) + '\r');
}

// No device behind the port: the line is down with the system's reason, tried again after
// 1, 2, 4 ... up to 60 s, and the log view and the observer hear only of changes: a new
// reason, and the device that came.
TEST_F(LiveLine, PortThatDoesNotOpenIsDownRetriedWithGrowingPausesAndChangesAreTold) {
  ScriptedModemLine phone{clock};
  DeviceOpener modem = phone.Opener(1);
  int error = ENOENT;
  std::vector<MonoTime> opens;
  Start([&](int port) -> OpenedDevice {
    opens.push_back(clock.Now());
    if (error != 0) return {nullptr, ErrnoCode(error)};
    return modem(port);
  });
  TickFor(Millis(5 * 60 * 1000));
  EXPECT_EQ(ToldStates(), (std::vector<std::string>{"starting", "down"}));
  LineStatus now = File();
  EXPECT_EQ(now.state, "down");
  EXPECT_EQ(now.reason, std::string("/dev/marvolen-test-none: ") + std::strerror(ENOENT));
  EXPECT_EQ(window.Count("Respuesta: ERROR, COM1 NOT FOUND. "), 0);  // with the purge's error
  int shown = 0;
  for (const std::string& line : window.lines) shown += line.rfind("Respuesta: ", 0) == 0;
  EXPECT_EQ(shown, 1);

  // The pauses between tries double from a second and stay at a minute.
  ASSERT_GE(opens.size(), 9u);
  std::vector<long long> pauses;
  for (size_t i = 2; i < opens.size(); ++i) pauses.push_back(ElapsedMs(opens[i - 1], opens[i]));
  // (The first try's pause of a second follows the modem's whole reset.)
  for (size_t i = 0; i < 5; ++i) {
    const long long expected = 2000LL << i;
    EXPECT_GE(pauses[i], expected) << i;
    EXPECT_LE(pauses[i], expected + 1000) << i;
  }
  for (size_t i = 5; i < pauses.size(); ++i) {
    EXPECT_GE(pauses[i], 60'000) << i;
    EXPECT_LE(pauses[i], 61'000) << i;
  }

  // Another reason: shown once, and told.
  error = EACCES;
  TickFor(Millis(3 * 60 * 1000));
  EXPECT_EQ(File().reason, std::string("/dev/marvolen-test-none: ") + std::strerror(EACCES));
  EXPECT_EQ(ToldStates(), (std::vector<std::string>{"starting", "down", "down"}));
  shown = 0;
  for (const std::string& line : window.lines) shown += line.rfind("Respuesta: ", 0) == 0;
  EXPECT_EQ(shown, 2);

  // The device is there again: within a minute and a modem reset the line waits for calls.
  error = 0;
  TickFor(Millis(75'000));
  EXPECT_EQ(File().state, "waiting");
  EXPECT_EQ(File().reason, "");
  EXPECT_EQ(ToldStates().back(), "waiting");
}

// A state file that cannot be written is shown once, not at every change, and the line goes
// on; once it can be written again a later failure is shown again.
TEST_F(LiveLine, StateFileThatCannotBeWrittenIsShownOnceAndTheLineGoesOn) {
  station_test::WriteFile(work.path() / "lines", "in the way");
  ScriptedModemLine phone{clock};
  Start(phone.Opener(1));
  Tick();
  ASSERT_TRUE(phone.Dial());
  for (int i = 0; i < 100 && station->state.LineState != kStateConnecting; ++i) Tick();
  EXPECT_EQ(ToldStates(), (std::vector<std::string>{"starting", "waiting", "in_call"}));
  int shown = 0;
  for (const std::string& line : window.lines)
    shown += line.rfind("*ERROR Estado de la línea: ", 0) == 0;
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(station->state.LineState, kStateConnecting);
}

// The service manager's socket, bound by the test, and the datagrams that reach it.
class NotifySocket {
 public:
  explicit NotifySocket(std::string name) : name_(std::move(name)) {
    fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name_.data(), name_.size());
    if (name_[0] == '@') address.sun_path[0] = '\0';
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size() +
                                                    (name_[0] == '@' ? 0 : 1));
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
      ADD_FAILURE() << "bind " << name_ << ": " << std::strerror(errno);
    }
  }
  // Every datagram waiting, in order.
  std::vector<std::string> Take() {
    std::vector<std::string> got;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n < 0) return got;
      got.emplace_back(buffer, static_cast<size_t>(n));
    }
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  UniqueFd fd_;
};

TEST(ServiceNotify, DatagramReachesAPathOrAnAbstractSocketAndBadNamesAreRefused) {
  station_test::TempDir dir;
  NotifySocket path(dir.dir() + "notify");
  NotifySocket abstract("@marvolen-test-" + std::to_string(::getpid()));
  EXPECT_EQ(SendDatagram(path.name(), "READY=1"), 0);
  EXPECT_EQ(SendDatagram(abstract.name(), "STATUS=x"), 0);
  EXPECT_EQ(path.Take(), std::vector<std::string>{"READY=1"});
  EXPECT_EQ(abstract.Take(), std::vector<std::string>{"STATUS=x"});
  EXPECT_EQ(SendDatagram("relative/notify", "READY=1"), EINVAL);
  EXPECT_EQ(SendDatagram("/" + std::string(200, 'x'), "READY=1"), EINVAL);
  EXPECT_NE(SendDatagram(dir.dir() + "nobody", "READY=1"), 0);
}

// The watchdog time is read from the environment as the service manager sets it, and only
// when it is this process's: a child started by a service inherits its parent's WATCHDOG_PID.
TEST(ServiceNotify, WatchdogTimeIsThisProcesssOnly) {
  station_test::TempDir dir;
  NotifySocket manager(dir.dir() + "notify");
  VirtualClock clock;
  ::setenv("NOTIFY_SOCKET", manager.name().c_str(), 1);
  const auto until_ping = [&](const char* usec, const std::string& pid) {
    ::setenv("WATCHDOG_USEC", usec, 1);
    if (pid.empty()) {
      ::unsetenv("WATCHDOG_PID");
    } else {
      ::setenv("WATCHDOG_PID", pid.c_str(), 1);
    }
    return ServiceNotifier(clock).UntilPing().count();
  };
  const std::string self = std::to_string(::getpid());
  EXPECT_EQ(until_ping("4000000", ""), 2'000);
  EXPECT_EQ(until_ping("4000000", self), 2'000);
  EXPECT_EQ(until_ping("4000000", std::to_string(::getpid() + 1)), 60'000);
  EXPECT_EQ(until_ping("4000000x", ""), 60'000);
  EXPECT_EQ(until_ping("0", ""), 60'000);
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  ::unsetenv("WATCHDOG_PID");
}

// The whole console program on the modem double, with NOTIFY_SOCKET and WATCHDOG_USEC as the
// service manager sets them: READY once the line waits, STATUS at its changes, WATCHDOG every
// half watchdog time while the loop runs, STOPPING at the stop signal. A line whose device is
// missing is ready too, its status saying why it is down: the manager must not restart it for
// a start that never ends.
TEST_F(LiveLine, ServiceManagerHearsReadyStatusWatchdogAndStopping) {
  NotifySocket manager(work.dir() + "notify");
  ::setenv("NOTIFY_SOCKET", manager.name().c_str(), 1);
  ::setenv("WATCHDOG_USEC", "10000000", 1);
  ::unsetenv("WATCHDOG_PID");
  ScriptedModemLine phone{clock};
  const std::string line = "STATUS=línea marvolen-test-none (/dev/marvolen-test-none): ";
  const DeviceOpener missing = [](int) -> OpenedDevice { return {nullptr, ErrnoCode(ENOENT)}; };
  for (const auto& [opener, said_while_up] :
       {std::pair{phone.Opener(1), std::string("esperando llamadas")},
        {missing,
         "fuera de servicio: /dev/marvolen-test-none: " + std::string(std::strerror(ENOENT))}}) {
    std::vector<std::pair<long long, std::string>> heard;  // virtual ms, message
    const long long begun = clock.ElapsedSinceStart();
    std::function<void()> listen = [&] {
      for (std::string& m : manager.Take())
        heard.emplace_back(clock.ElapsedSinceStart() - begun, m);
      clock.At(Millis(100), listen);
    };
    clock.At(Millis(0), listen);
    volatile std::sig_atomic_t stop = 0;
    clock.At(Millis(95'000), [&] { stop = 1; });
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop, LineStationFactory(opener)), 0);
    for (std::string& m : manager.Take()) heard.emplace_back(clock.ElapsedSinceStart() - begun, m);
    std::fclose(out);
    std::fclose(err);

    std::vector<std::string> said;
    std::vector<long long> pings;
    for (const auto& [at, m] : heard) {
      if (m == "WATCHDOG=1") {
        pings.push_back(at);
      } else {
        said.push_back(m);
      }
    }
    EXPECT_EQ(said,
              (std::vector<std::string>{line + "iniciando el módem", "READY=1",
                                        line + said_while_up, "STOPPING=1", line + "detenida"}));
    // Every 5 s (half of 10 s), well within the watchdog time through the modem's reset of
    // some ten seconds too (its two-second waits for the modem's answers look at nothing).
    ASSERT_GE(pings.size(), 17u);
    EXPECT_LE(pings.size(), 20u);
    for (size_t i = 1; i < pings.size(); ++i) EXPECT_LE(pings[i] - pings[i - 1], 7'000) << i;
  }
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
}

// Standard output is the journal and its socket takes entries: the log lines go there with
// fields of their own, so that an office's refusals can be found by its number and the line's
// name; nothing is printed twice on the stream.
TEST_F(LiveLine, JournalEntriesNameTheLineTheOfficeAndWhyACallWasRefused) {
  NotifySocket journal(work.dir() + "journal");
  ScriptedModemLine phone{clock};
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  struct stat st {};
  ASSERT_EQ(::fstat(::fileno(out), &st), 0);
  ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(),
           1);
  ::setenv("MARVOLEN_LINE", "sur", 1);
  clock.At(Millis(20'000), [&] { EXPECT_TRUE(phone.Dial()); });
  test::IdentBuilder ident;
  ident.office = "00042";
  clock.At(Millis(30'000), [&] { phone.CallerSend(ident.Line() + "\r"); });
  std::vector<std::string> entries;
  std::function<void()> listen = [&] {
    for (std::string& e : journal.Take()) entries.push_back(std::move(e));
    clock.At(Millis(100), listen);
  };
  clock.At(Millis(0), listen);
  volatile std::sig_atomic_t stop = 0;
  clock.At(Millis(60'000), [&] { stop = 1; });
  EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop, LineStationFactory(phone.Opener(1)), -1,
                        journal.name()),
            0);
  ::unsetenv("JOURNAL_STREAM");
  ::unsetenv("MARVOLEN_LINE");
  std::string printed(static_cast<size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  printed.resize(std::fread(printed.data(), 1, printed.size(), out));
  EXPECT_EQ(printed, "");  // nothing went to the stream too
  std::fclose(out);
  std::fclose(err);

  std::map<std::string, std::map<std::string, std::string>> by_message;
  for (std::string& e : journal.Take()) entries.push_back(std::move(e));
  for (const std::string& entry : entries) {
    std::map<std::string, std::string> fields;
    std::istringstream in(entry);
    for (std::string field; std::getline(in, field);) {
      const size_t eq = field.find('=');
      ASSERT_NE(eq, std::string::npos) << entry;
      fields[field.substr(0, eq)] = field.substr(eq + 1);
    }
    EXPECT_EQ(fields["MARVOLEN_LINE"], "sur") << entry;
    EXPECT_EQ(fields["SYSLOG_IDENTIFIER"], "marvolen-station") << entry;
    by_message[fields["MESSAGE"].substr(0, 25)] = fields;
  }
  using Fields = std::map<std::string, std::string>;
  const auto refused = [](const std::string& priority, const std::string& message) {
    return Fields{{"MESSAGE", message},
                  {"PRIORITY", priority},
                  {"MARVOLEN_LINE", "sur"},
                  {"SYSLOG_IDENTIFIER", "marvolen-station"},
                  {"MARVOLEN_OFFICE", "42"},
                  {"MARVOLEN_RESULT", "refused"},
                  {"MARVOLEN_REASON", "unknown_office"}};
  };
  EXPECT_EQ(by_message["Ingreso No autorizado!!"], refused("4", "Ingreso No autorizado!!"));
  Fields end = by_message["Fin de llamada: rechazada"];
  EXPECT_EQ(end["MESSAGE"].rfind("Fin de llamada: rechazada (oficina desconocida), ", 0), 0u);
  EXPECT_EQ(end, refused("4", end["MESSAGE"]));
  // Lines outside a call carry no office.
  EXPECT_EQ(by_message["Conectándose ..."].count("MARVOLEN_OFFICE"), 0u);
  EXPECT_EQ(by_message["Conectándose ..."]["PRIORITY"], "6");
}

// A tick that hangs (a wait that never looks at the stop request) stops the pings: the
// service manager's watchdog then restarts the station. The loop around it pings as usual.
TEST(ServiceNotify, WatchdogPingsStopWhileATickHangs) {
  station_test::TempDir home;
  VirtualClock clock;
  std::vector<long long> pings;
  ServiceNotifier notifier(
      clock,
      [&](std::string_view m) {
        if (m == "WATCHDOG=1") pings.push_back(clock.ElapsedSinceStart());
        return 0;
      },
      Millis(10'000));
  std::FILE* out = std::tmpfile();
  ConsoleWindow window(clock, out, out);
  class HangingStation final : public Station {
   public:
    using Station::Station;
    int ticks = 0;

   protected:
    void LineTick() override {
      if (++ticks == 100) clock().Sleep(Millis(120'000));  // hangs for two minutes
    }
  };
  HangingStation station(window, clock, home.path());
  station.config().PortNumber = 1;
  volatile std::sig_atomic_t stop = 0;
  clock.At(Millis(200'000), [&] { stop = 1; });
  EXPECT_EQ(RunConsole(station, window, clock, stop, -1, &notifier), 0);
  std::fclose(out);
  ASSERT_GE(station.ticks, 101);
  // Ticks come every 100 ms: the hundredth starts at 10 s and returns at 130 s. Pings come
  // every 5 s before and after, none in between.
  const std::string all = ::testing::PrintToString(pings);
  ASSERT_GE(pings.size(), 2u) << all;
  EXPECT_EQ(pings[0], 5'000) << all;
  EXPECT_EQ(pings[1], 10'000) << all;
  for (const long long at : pings) EXPECT_FALSE(at > 10'000 && at < 130'000) << all;
  EXPECT_GE(pings.size(), 2u + 14u) << all;  // 70 s of loop after the hang
}

}  // namespace
}  // namespace marvolen::testing
