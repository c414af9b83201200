#include "app/ConsoleWindow.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/HomeLock.h"
#include "app/LineLiveState.h"
#include "app/Station.h"
#include "platform/FileNames.h"
#include "platform/Paths.h"
#include "platform/ServiceManager.h"

namespace marvolen {

namespace {

// How long the loop sleeps at most before it looks at the stop flag again, when no signal
// can wake it.
constexpr Millis kStopCheck{50};
// With a wake descriptor a disabled timer leaves nothing to wake for but a signal; the loop
// still looks up once a minute.
constexpr Millis kLongSleep{60000};

// Sleeps up to `wait`: on `wake_fd` and `line_fd` when there are any, else in slices short
// enough to notice the stop flag. True when the line's descriptor woke it.
bool SleepUntilDue(Clock& clock, Millis wait, int wake_fd, int line_fd) {
  if (wake_fd < 0) wait = std::min(wait, kStopCheck);
  if (wake_fd < 0 && line_fd < 0) {
    clock.Sleep(wait);
    return false;
  }
  const int fds[] = {wake_fd, line_fd};
  return clock.WaitAnyReadable(fds, wait) == 1;
}

}  // namespace

bool StreamIsJournal(std::FILE* stream) {
  const char* named = std::getenv("JOURNAL_STREAM");
  if (named == nullptr || stream == nullptr) return false;
  const int fd = ::fileno(stream);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  const std::string expected = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                               std::to_string(static_cast<unsigned long long>(st.st_ino));
  return expected == named;
}

int LogLinePriority(std::string_view line) {
  for (const std::string_view error : {"*ERROR", "ERROR", "Respuesta: "}) {
    if (line.starts_with(error)) return 3;
  }
  for (const std::string_view warning :
       {"Ingreso No autorizado", "Llamada cortada", "Borrado archivo temporal", "Transcripciones:",
        "Archivos *.daw no pedidos", "Fin de llamada: rechazada", "Fin de llamada: abortada"}) {
    if (line.starts_with(warning)) return 4;
  }
  // A caller that never said who it was: a wrong number or noise on the line, worth a look
  // when it repeats.
  if (line.starts_with("Fin de llamada: sin identificación")) return 5;
  return 6;
}

void PrintLines(std::FILE* stream, bool journal, int priority, std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (journal) std::fprintf(stream, "<%d>", priority);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  std::fflush(stream);
}

std::string JournalEntry(
    std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
  std::string entry;
  for (const auto& [name, value] : fields) {
    entry += name;
    if (value.find('\n') == std::string_view::npos) {
      entry += '=';
    } else {
      entry += '\n';
      for (int i = 0; i < 8; ++i)
        entry += static_cast<char>((uint64_t{value.size()} >> (8 * i)) & 0xff);
    }
    entry += value;
    entry += '\n';
  }
  return entry;
}

ConsoleWindow::ConsoleWindow(Clock& clock, std::FILE* out, std::FILE* err, bool out_is_journal,
                             bool err_is_journal, std::string journal_socket)
    : clock_(clock),
      out_(out),
      err_(err),
      out_is_journal_(out_is_journal),
      err_is_journal_(err_is_journal),
      journal_socket_(out_is_journal ? std::move(journal_socket) : std::string()),
      armed_at_(clock.Now()) {}

void ConsoleWindow::AddLine(std::string_view text) {
  const int priority = LogLinePriority(text);
  if (!journal_socket_.empty()) {
    const std::string office = facts_.office != 0 ? std::to_string(facts_.office) : "";
    const char digit[] = {static_cast<char>('0' + priority), '\0'};
    // Fields without a value are left out: the journal would keep them as empty.
    std::string entry = JournalEntry(
        {{"MESSAGE", text}, {"PRIORITY", digit}, {"SYSLOG_IDENTIFIER", "marvolen-station"}});
    for (const auto& [name, value] :
         {std::pair<std::string_view, std::string_view>{"MARVOLEN_LINE", line_name_},
          {"MARVOLEN_OFFICE", office},
          {"MARVOLEN_RESULT", facts_.result},
          {"MARVOLEN_REASON", facts_.reason}}) {
      if (!value.empty()) entry += JournalEntry({{name, value}});
    }
    const int rc = SendDatagram(journal_socket_, entry, WhenQueueFull::kGiveUp);
    if (rc == 0) return;
    // A journal too busy to take the entry now gets the next one; one that is not there (or
    // refuses entries) gets none: the lines go to the stream it reads as well.
    if (!QueueFull(rc)) journal_socket_.clear();
  }
  if (out_is_journal_) std::fprintf(out_, "<%d>", priority);
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void ConsoleWindow::SetTimerInterval(int ms) {
  timer_interval_ = ms;
  armed_at_ = clock_.Now();
}

void ConsoleWindow::SetTimerEnabled(bool enabled) {
  timer_enabled_ = enabled;
  armed_at_ = clock_.Now();
}

std::optional<std::string> ConsoleWindow::InputBox(std::string_view caption, std::string_view) {
  PrintLines(err_, err_is_journal_, 4,
             "marvolen: la consola no puede preguntar \"" + std::string(caption) + "\"");
  return std::nullopt;
}

void ConsoleWindow::ShowMessage(std::string_view text) {
  PrintLines(err_, err_is_journal_, 4, "marvolen: " + std::string(text));
}

void ConsoleWindow::ShowSettingsForm() {
  PrintLines(err_, err_is_journal_, 4,
             "marvolen: el formulario de datos necesita la ventana (ejecute marvolen sin "
             "--console, o use marvolen-config)");
}

int RunConsole(Station& station, ConsoleWindow& window, Clock& clock,
               const volatile std::sig_atomic_t& stop, int wake_fd, ServiceNotifier* notifier) {
  int status = 0;
  while (!window.terminated()) {
    // Only a loop that comes round pings: a tick that never returns (and looks at no stop
    // request inside) lets the watchdog fire.
    if (notifier != nullptr) notifier->Alive();
    if (stop != 0) {
      if (notifier != nullptr) notifier->Stopping();
      // A call in progress ends with its record before "Salir" writes the activity log.
      station.Stopping();
      station.Button2Click();
      if (!window.terminated()) status = 1;
      break;
    }
    // Once the line keeps its own account of what it waits for, that replaces the timer's
    // interval: the loop sleeps until the line's deadline or its descriptor, however long.
    const std::optional<WakeUp> line =
        window.timer_enabled() ? station.NextWake() : std::optional<WakeUp>();
    // Read after the line's account: a line due "now" is due by this reading, never a moment
    // ahead of it (which would turn into a string of one-millisecond waits).
    const MonoTime now = clock.Now();
    const MonoTime due = !window.timer_enabled() ? MonoTime::max()
                         : line                  ? line->due
                                                 : window.TimerDue();
    if (now < due) {
      Millis wait = WaitFor(now, due, kLongSleep);
      if (notifier != nullptr) wait = std::min(wait, std::max(notifier->UntilPing(), Millis(1)));
      if (!SleepUntilDue(clock, wait, wake_fd, line ? line->fd : -1)) continue;
    }
    window.TimerFired();
    station.Timer1Timer();
  }
  station.FormClose();
  return status;
}

int ConsoleMain(const std::filesystem::path& home, Clock& clock, std::FILE* out, std::FILE* err,
                const volatile std::sig_atomic_t& stop, const StationFactory& make, int wake_fd,
                const std::string& journal_socket) {
  const bool err_is_journal = StreamIsJournal(err);
  std::string refusal;
  const std::optional<FileLock> home_lock =
      LockStationHome(home.empty() ? StationHome() : home, refusal);
  if (!home_lock) {
    PrintLines(err, err_is_journal, 3, "marvolen: " + refusal);
    return kHomeTakenStatus;
  }
  ConsoleWindow window(clock, out, err, StreamIsJournal(out), err_is_journal, journal_socket);
  ServiceNotifier notifier(clock);
  const std::unique_ptr<Station> made = make(window, clock, home);
  Station& station = *made;
  // A stop signal must be heard inside a tick too: a transfer or a line reset can last long.
  // Those waits keep the watchdog fed as the loop does: they are the station at work.
  station.SetStopRequest(StopRequest(
      [&stop, &notifier] {
        notifier.Alive();
        return stop != 0;
      },
      wake_fd));
  station.SetLineObserver([&notifier](const LineStatus& status) {
    // A line whose device is missing is a service at work with its line down, not one still
    // starting: the manager's status line says why, and no start-up time-out restarts it.
    if (status.state == kLineWaiting || status.state == kLineDown) notifier.Ready();
    notifier.Status(LineStateWords(status));
  });
  station.FormCreate();
  if (station.config().PortNumber == 0) {
    const bool exists = FindNoCase(station.ExeDir, kStationConfigFile).has_value();
    PrintLines(
        err, err_is_journal, 3,
        "marvolen: la estación aún no tiene datos: " + station.ExeDir + kStationConfigFile + " " +
            (exists ? "no tiene puerto serie o tiene menos de 107 bytes" : "no existe") +
            ".\n"
            "La consola no puede mostrar el formulario de datos. Cree los datos con\n"
            "  marvolen-config set --port N --speed BPS --password KEY --workdir DIR\n"
            "o ejecute marvolen una vez en una pantalla (\"Modificar Datos\"). El directorio\n"
            "de la estación es $MARVOLEN_HOME, o si no el del ejecutable.");
    station.FormClose();
    return kNoSettingsStatus;
  }
  // The line's name becomes a file name and a metrics label: a bad one is refused before the
  // line is touched.
  std::string bad_name;
  const auto name =
      LineNameFor(station.config().PortNumber, std::getenv(kLineNameVariable), bad_name);
  if (!name) {
    PrintLines(err, err_is_journal, 3, "marvolen: " + bad_name);
    station.FormClose();
    return kNoSettingsStatus;
  }
  // One station per line name in a working directory, as per home; any failure to take the
  // lock refuses, as the home's does.
  bool taken = false;
  std::string refused;
  const std::optional<FileLock> line_lock = LockLineName(station.WorkDir, *name, taken, refused);
  if (!line_lock) {
    PrintLines(err, err_is_journal, 3, "marvolen: " + refused);
    station.FormClose();
    return taken ? kHomeTakenStatus : kNoSettingsStatus;
  }
  window.SetLineName(*name);
  PrintLines(err, err_is_journal, 6,
             "marvolen: estación en marcha en la consola, directorio de la estación " +
                 station.ExeDir + ", directorio de trabajo " + station.WorkDir +
                 "; Ctrl-C o SIGTERM la detienen");
  return RunConsole(station, window, clock, stop, wake_fd, &notifier);
}

}  // namespace marvolen
