#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdio>
#include <thread>

#include "TestSupport.h"
#include "app/ConsoleWindow.h"
#include "app/HomeLock.h"
#include "app/Station.h"

namespace marvolen {
namespace {

using station_test::ReadFile;
using station_test::TempDir;
using station_test::WriteFile;

std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

class TimedStation : public Station {
 public:
  TimedStation(OperatorWindow& window, VirtualClock& clock, std::filesystem::path home)
      : Station(window, clock, std::move(home)), vclock_(clock) {}
  std::vector<long long> tick_times;  // virtual ms since start
  std::function<void()> on_tick = [] {};
  int ports_closed = 0;
  // What the line waits for, once set; else the timer's interval rules.
  std::function<std::optional<WakeUp>()> wake;
  std::optional<WakeUp> NextWake() override { return wake ? wake() : std::nullopt; }

 protected:
  void LineTick() override {
    tick_times.push_back(vclock_.ElapsedSinceStart());
    on_tick();
  }
  void ClosePorts() override { ++ports_closed; }
  // The call in progress ends with its record, written with the activity log.
  void StopLine() override { activity_log().LogEvent("Llamada cortada: la estación se detiene"); }

 private:
  VirtualClock& vclock_;
};

std::string Record(const std::string& dir, char port = '1') {
  std::string r = std::string(50, ' ') + "9600 " + port + " clave";
  r.resize(67, ' ');
  r += dir;
  r.resize(107, ' ');
  return r;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { station_test::UseUtc(); }
  ~ConsoleTest() override {
    std::fclose(out);
    std::fclose(err);
  }
  void Start(const std::string& dir) {
    WriteFile(home.path() / "marvolen.tcp", Record(dir));
    station.FormCreate();
  }

  TempDir home;
  TempDir work;
  VirtualClock clock;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ConsoleWindow window{clock, out, err};
  TimedStation station{window, clock, home.path()};
  volatile std::sig_atomic_t stop = 0;
};

TEST_F(ConsoleTest, TicksComeAnIntervalAfterTheTimerIsEnabledAgain) {
  Start(work.dir());
  station.on_tick = [&] {
    clock.Advance(Millis(700));  // a tick that blocks
    if (station.tick_times.size() == 2) station.SetTimer1Interval(500);
    if (station.tick_times.size() == 4) stop = 1;
  };
  EXPECT_EQ(RunConsole(station, window, clock, stop), 0);
  const std::vector<long long> expected{5000, 10700, 11900, 13100};
  ASSERT_EQ(station.tick_times.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(station.tick_times[i], expected[i], 2);
}

TEST_F(ConsoleTest, StopActsAsSalirWritesTheLogAndClosesThePorts) {
  Start(work.dir());
  clock.At(Millis(12000), [&] { stop = 1; });
  EXPECT_EQ(RunConsole(station, window, clock, stop), 0);
  EXPECT_EQ(station.tick_times.size(), 2u);
  EXPECT_EQ(station.ports_closed, 1);
  const std::string log = ReadFile(work.path() / "volenlog.tcp");
  EXPECT_NE(log.find("Of: Datos  *********** Inicio Programa: "), std::string::npos);
  // The line was stopped before "Salir" wrote the log.
  EXPECT_NE(log.find("Llamada cortada: la estación se detiene"), std::string::npos);
}

TEST_F(ConsoleTest, ErrorsArePrintedAsLogLinesInUtf8) {
  Start(work.dir() + "missing/");
  station.on_tick = [&] {
    if (station.tick_times.size() == 1) throw std::runtime_error("fallo en la conexión");
    std::filesystem::remove_all(work.path() / "missing");
    stop = 1;
  };
  // A stop whose activity log cannot be written still ends, with status 1.
  EXPECT_EQ(RunConsole(station, window, clock, stop), 1);
  EXPECT_EQ(station.ports_closed, 1);
  const std::string printed = Contents(out);
  EXPECT_EQ(printed.rfind("ERROR PROGRAMA: fallo en la conexión\n"
                          "ERROR PROGRAMA: No se puede escribir el archivo ",
                          0),
            0u)
      << printed;
}

// Counts the waits of the console loop, on a virtual clock.
class CountingClock final : public Clock {
 public:
  explicit CountingClock(VirtualClock& inner) : inner_(inner) {}
  MonoTime Now() const override { return inner_.Now(); }
  WallTime WallNow() const override { return inner_.WallNow(); }
  void Sleep(Millis d) override {
    ++waits;
    inner_.Sleep(d);
  }
  bool WaitReadable(int fd, Millis d) override {
    ++waits;
    return inner_.WaitReadable(fd, d);
  }
  int WaitAnyReadable(std::span<const int> fds, Millis d) override {
    ++waits;
    return inner_.WaitAnyReadable(fds, d);
  }
  int waits = 0;

 private:
  VirtualClock& inner_;
};

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  int fds[2] = {-1, -1};
};

TEST_F(ConsoleTest, WithAWakeDescriptorTheLoopSleepsOnceBetweenTicks) {
  Start(work.dir());
  CountingClock counting(clock);
  ConsoleWindow counted_window(counting, out, err);
  TimedStation idle(counted_window, clock, home.path());
  idle.FormCreate();
  idle.SetTimer1Interval(500);
  idle.on_tick = [&] {
    if (idle.tick_times.size() == 20) stop = 1;
  };
  Pipe wake;
  EXPECT_EQ(RunConsole(idle, counted_window, counting, stop, wake.fds[0]), 0);
  ASSERT_EQ(idle.tick_times.size(), 20u);
  // An idle station wakes for its ticks only: one wait before each, none in between.
  EXPECT_LE(counting.waits, 21);
}

TEST_F(ConsoleTest, AByteOnTheWakeDescriptorEndsTheSleepAtOnce) {
  Start(work.dir());
  RealClock real;
  ConsoleWindow real_window(real, out, err);
  TimedStation waiting(real_window, clock, home.path());
  waiting.FormCreate();  // the first tick is due in 5000 ms
  Pipe wake;
  std::thread signal([&] {
    std::this_thread::sleep_for(Millis(50));
    stop = 1;
    const char byte = 1;
    EXPECT_EQ(::write(wake.fds[1], &byte, 1), 1);
  });
  const MonoTime start = real.Now();
  EXPECT_EQ(RunConsole(waiting, real_window, real, stop, wake.fds[0]), 0);
  signal.join();
  EXPECT_TRUE(waiting.tick_times.empty());
  // Woken by the byte, long before the tick would have come.
  EXPECT_LT(ElapsedMs(start, real.Now()), 3000);
}

// The line's own deadline replaces the timer's interval: a line that has nothing to do for
// seven seconds is not ticked every 10 ms meanwhile.
TEST_F(ConsoleTest, TheLinesDeadlineReplacesTheTimerInterval) {
  Start(work.dir());
  CountingClock counting(clock);
  ConsoleWindow counted_window(counting, out, err);
  TimedStation line(counted_window, clock, home.path());
  line.FormCreate();
  line.SetTimer1Interval(10);
  MonoTime due = clock.Now() + Millis(7000);
  line.wake = [&] { return WakeUp{due, -1}; };
  line.on_tick = [&] {
    due = clock.Now() + Millis(7000);
    if (line.tick_times.size() == 3) stop = 1;
  };
  Pipe wake;
  EXPECT_EQ(RunConsole(line, counted_window, counting, stop, wake.fds[0]), 0);
  ASSERT_EQ(line.tick_times.size(), 3u);
  EXPECT_EQ(line.tick_times[1] - line.tick_times[0], 7000);
  EXPECT_EQ(line.tick_times[2] - line.tick_times[1], 7000);
  EXPECT_LE(counting.waits, 4);
}

// A line with its next step to take at once is ticked at once, on the real clock whose every
// reading is later than the line's.
TEST_F(ConsoleTest, ALineDueAtOnceIsTickedWithoutWaiting) {
  Start(work.dir());
  RealClock real;
  ConsoleWindow real_window(real, out, err);
  TimedStation line(real_window, clock, home.path());
  line.FormCreate();
  line.wake = [&] { return WakeUp{real.Now(), -1}; };
  line.on_tick = [&] {
    if (line.tick_times.size() == 50) stop = 1;
  };
  Pipe stop_pipe;
  std::thread bound([&] {
    std::this_thread::sleep_for(Millis(2000));
    stop = 1;
    const char byte = 1;
    EXPECT_EQ(::write(stop_pipe.fds[1], &byte, 1), 1);
  });
  const MonoTime start = real.Now();
  EXPECT_EQ(RunConsole(line, real_window, real, stop, stop_pipe.fds[0]), 0);
  EXPECT_EQ(line.tick_times.size(), 50u);
  EXPECT_LT(ElapsedMs(start, real.Now()), 1000);
  bound.join();
}

TEST_F(ConsoleTest, TheLinesDescriptorTurningReadableTicksAtOnce) {
  Start(work.dir());
  RealClock real;
  ConsoleWindow real_window(real, out, err);
  TimedStation line(real_window, clock, home.path());
  line.FormCreate();
  Pipe stop_pipe, data;
  const MonoTime start = real.Now();
  line.wake = [&] { return WakeUp{start + Millis(3000), data.fds[0]}; };
  // The line waits three seconds unless its descriptor turns readable (and stays so: nobody
  // reads it here, so the second tick follows the first at once).
  std::thread office([&] {
    std::this_thread::sleep_for(Millis(50));
    const char byte = 1;
    EXPECT_EQ(::write(data.fds[1], &byte, 1), 1);
  });
  line.on_tick = [&] {
    if (line.tick_times.size() == 2) stop = 1;
  };
  EXPECT_EQ(RunConsole(line, real_window, real, stop, stop_pipe.fds[0]), 0);
  office.join();
  EXPECT_EQ(line.tick_times.size(), 2u);
  EXPECT_LT(ElapsedMs(start, real.Now()), 2000);
}

TEST(ConsoleMainTest, WithoutSettingsSaysHowToMakeThemAndExitsTwo) {
  for (const bool blank_port : {false, true}) {
    TempDir home;
    if (blank_port) WriteFile(home.path() / "marvolen.tcp", Record(home.dir(), ' '));
    VirtualClock clock;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    volatile std::sig_atomic_t stop = 0;
    EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop), 2);
    const std::string message = Contents(err);
    EXPECT_NE(message.find("aún no tiene datos"), std::string::npos) << message;
    EXPECT_NE(message.find("marvolen-config set"), std::string::npos) << message;
    EXPECT_NE(
        message.find(blank_port ? "marvolen.tcp no tiene puerto serie" : "marvolen.tcp no existe"),
        std::string::npos);
    EXPECT_EQ(Contents(out), "");
    EXPECT_EQ(clock.ElapsedSinceStart(), 0);
    std::fclose(out);
    std::fclose(err);
  }
}

TEST(ConsoleMainTest, RunsTheStationTheFactoryMakes) {
  TempDir home;
  TempDir work;
  WriteFile(home.path() / "marvolen.tcp", Record(work.dir()));
  VirtualClock clock;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  volatile std::sig_atomic_t stop = 0;
  // The station is gone when ConsoleMain returns: what its tick saw is kept out here.
  bool stop_seen_in_tick = false;
  const StationFactory factory = [&](OperatorWindow& w, Clock&, const std::filesystem::path& h) {
    auto station = std::make_unique<TimedStation>(w, clock, h);
    station->on_tick = [&stop, &stop_seen_in_tick, s = station.get()] {
      stop = 1;
      stop_seen_in_tick = s->stop_request().Requested();
    };
    return station;
  };
  EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop, factory), 0);
  EXPECT_EQ(clock.ElapsedSinceStart(), 5000);  // one tick, after the start-up interval
  EXPECT_TRUE(stop_seen_in_tick);              // the signal's flag is the station's stop request
  EXPECT_NE(Contents(err).find("estación en marcha"), std::string::npos);
  std::fclose(out);
  std::fclose(err);
}

// A second station on a home that a running station holds does not start: it says why and
// leaves the home alone (no activity log line, no staging directories).
TEST(ConsoleMainTest, HomeHeldByAnotherStationIsRefused) {
  TempDir home;
  TempDir work;
  WriteFile(home.path() / "marvolen.tcp", Record(work.dir()));
  std::string message;
  std::optional<FileLock> running = LockStationHome(home.path(), message);
  ASSERT_TRUE(running.has_value()) << message;

  VirtualClock clock;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  // Stopped from the start: a station that did start would end at once.
  volatile std::sig_atomic_t stop = 1;
  bool made = false;
  const StationFactory factory = [&](OperatorWindow& w, Clock& c, const std::filesystem::path& h) {
    made = true;
    return MakeStation(w, c, h);
  };
  EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop, factory), kHomeTakenStatus);
  const std::string said = Contents(err);
  EXPECT_NE(said.find("ya hay otra estación en marcha en el directorio de la estación " +
                      home.path().string() + " (proceso " + std::to_string(::getpid()) + ")"),
            std::string::npos)
      << said;
  EXPECT_FALSE(made);
  EXPECT_EQ(Contents(out), "");
  EXPECT_FALSE(std::filesystem::exists(home.path() / "tablas"));
  EXPECT_FALSE(std::filesystem::exists(work.path() / "volenlog.tcp"));

  // Once the first station is gone, the home is free again.
  running.reset();
  std::rewind(err);
  EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop, factory), 0);
  EXPECT_TRUE(made);
  std::fclose(out);
  std::fclose(err);
}

// A line name from MARVOLEN_LINE that cannot name a file, or that another station on the
// working directory serves (the same device name in two homes: one state file for two lines),
// is refused before the line is touched; another name on the same directory is free.
TEST(ConsoleMainTest, BadLineNameOrOneServedByAnotherStationIsRefused) {
  TempDir home;
  TempDir work;
  WriteFile(home.path() / "marvolen.tcp", Record(work.dir()));
  ::setenv("MARVOLEN_COM1", "/dev/ttyUSB7", 1);
  bool taken = false;
  std::string message;
  std::optional<FileLock> other = LockLineName(work.dir(), "ttyUSB7", taken, message);
  ASSERT_TRUE(other.has_value()) << message;
  VirtualClock clock;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  volatile std::sig_atomic_t stop = 1;
  EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop), kHomeTakenStatus);
  ::unsetenv("MARVOLEN_COM1");
  EXPECT_NE(Contents(err).find("la línea ttyUSB7 ya la atiende otra estación en el directorio de "
                               "trabajo " +
                               work.dir() + " (proceso " + std::to_string(::getpid()) + ")"),
            std::string::npos)
      << Contents(err);
  for (const char* name : {"../norte", "", ".oculta"}) {
    ::setenv("MARVOLEN_LINE", name, 1);
    EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop), kNoSettingsStatus) << name;
    EXPECT_NE(Contents(err).find("Nombre de línea no válido en MARVOLEN_LINE: \"" +
                                 std::string(name) + "\""),
              std::string::npos)
        << Contents(err);
  }
  // A lock that is a FIFO or a link (to a file outside "lines/") is never opened through:
  // the station refuses to start rather than run without its lock.
  ::mkfifo((work.dir() + "lines/oeste.lock").c_str(), 0644);
  WriteFile(work.path() / "fuera", "intacto");
  ::symlink((work.path() / "fuera").c_str(), (work.dir() + "lines/este.lock").c_str());
  for (const char* name : {"oeste", "este"}) {
    ::setenv("MARVOLEN_LINE", name, 1);
    EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop), kNoSettingsStatus) << name;
    EXPECT_NE(Contents(err).find("no se puede bloquear el estado de la línea"), std::string::npos)
        << Contents(err);
  }
  EXPECT_EQ(ReadFile(work.path() / "fuera"), "intacto");
  ::setenv("MARVOLEN_LINE", "sur", 1);
  EXPECT_EQ(ConsoleMain(home.path(), clock, out, err, stop), 0);
  ::unsetenv("MARVOLEN_LINE");
  EXPECT_EQ(Contents(out), "");
  std::fclose(out);
  std::fclose(err);
}

// When standard output is the journal (JOURNAL_STREAM names its file), every line carries
// its priority: errors 3, warnings 4, the rest 6; on any other file, none. So it does when the
// journal's socket for structured entries is not there.
TEST(ConsoleJournal, LinesCarryTheirPriorityOnlyWhenTheStreamIsTheJournal) {
  VirtualClock clock;
  std::FILE* journal = std::tmpfile();
  std::FILE* other = std::tmpfile();
  struct stat st {};
  ASSERT_EQ(::fstat(::fileno(journal), &st), 0);
  ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(),
           1);
  EXPECT_TRUE(StreamIsJournal(journal));
  EXPECT_FALSE(StreamIsJournal(other));
  for (std::FILE* file : {journal, other}) {
    ConsoleWindow window(clock, file, file, StreamIsJournal(file), StreamIsJournal(file),
                         "/nonexistent/marvolen-journal-socket");
    for (const char* line :
         {"*ERROR WRITE: ERROR, CTS OFF EN COM1. ", "ERROR PROGRAMA: disco lleno",
          "Respuesta: ERROR, COM1 NOT FOUND. ", "Ingreso No autorizado!!",
          "Llamada cortada: la estación se detiene", "Conectándose ...", "Comunicación exitosa"}) {
      window.AddLine(line);
    }
    window.ShowMessage("dos\nlíneas");
  }
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(StreamIsJournal(journal));
  EXPECT_EQ(Contents(journal),
            "<3>*ERROR WRITE: ERROR, CTS OFF EN COM1. \n<3>ERROR PROGRAMA: disco lleno\n"
            "<3>Respuesta: ERROR, COM1 NOT FOUND. \n<4>Ingreso No autorizado!!\n"
            "<4>Llamada cortada: la estación se detiene\n<6>Conectándose ...\n"
            "<6>Comunicación exitosa\n<4>marvolen: dos\n<4>líneas\n");
  EXPECT_EQ(Contents(other).find('<'), std::string::npos) << Contents(other);
  std::fclose(journal);
  std::fclose(other);
}

}  // namespace
}  // namespace marvolen
