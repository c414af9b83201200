#include "app/ConsoleWindow.h"

#include <algorithm>
#include <string>

#include "app/HomeLock.h"
#include "app/Station.h"
#include "platform/FileNames.h"
#include "platform/Paths.h"

namespace marvolen {

namespace {

// How long the loop sleeps at most before it looks at the stop flag again, when no signal
// can wake it.
constexpr Millis kStopCheck{50};
// With a wake descriptor a disabled timer leaves nothing to wake for but a signal; the loop
// still looks up once a minute.
constexpr Millis kLongSleep{60000};

// Sleeps up to `wait`: on `wake_fd` when there is one, else in slices short enough to notice
// the stop flag.
void SleepUntilDue(Clock& clock, Millis wait, int wake_fd) {
  if (wake_fd < 0) {
    clock.Sleep(std::min(wait, kStopCheck));
  } else {
    clock.WaitReadable(wake_fd, wait);
  }
}

}  // namespace

ConsoleWindow::ConsoleWindow(Clock& clock, std::FILE* out, std::FILE* err)
    : clock_(clock), out_(out), err_(err), armed_at_(clock.Now()) {}

void ConsoleWindow::AddLine(std::string_view text) {
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
  std::fprintf(err_, "marvolen: la consola no puede preguntar \"%.*s\"\n",
               static_cast<int>(caption.size()), caption.data());
  return std::nullopt;
}

void ConsoleWindow::ShowMessage(std::string_view text) {
  std::fprintf(err_, "marvolen: %.*s\n", static_cast<int>(text.size()), text.data());
}

void ConsoleWindow::ShowSettingsForm() {
  std::fprintf(err_,
               "marvolen: el formulario de datos necesita la ventana (ejecute marvolen sin "
               "--console, o use marvolen-config)\n");
}

int RunConsole(Station& station, ConsoleWindow& window, Clock& clock,
               const volatile std::sig_atomic_t& stop, int wake_fd) {
  int status = 0;
  while (!window.terminated()) {
    if (stop != 0) {
      // A call in progress ends with its record before "Salir" writes the activity log.
      station.Stopping();
      station.Button2Click();
      if (!window.terminated()) status = 1;
      break;
    }
    const MonoTime now = clock.Now();
    if (!window.timer_enabled() || now < window.TimerDue()) {
      const Millis wait =
          window.timer_enabled() ? std::chrono::ceil<Millis>(window.TimerDue() - now) : kLongSleep;
      SleepUntilDue(clock, wait, wake_fd);
      continue;
    }
    window.TimerFired();
    station.Timer1Timer();
  }
  station.FormClose();
  return status;
}

int ConsoleMain(const std::filesystem::path& home, Clock& clock, std::FILE* out, std::FILE* err,
                const volatile std::sig_atomic_t& stop, const StationFactory& make, int wake_fd) {
  std::string refusal;
  const std::optional<FileLock> home_lock =
      LockStationHome(home.empty() ? StationHome() : home, refusal);
  if (!home_lock) {
    std::fprintf(err, "marvolen: %s\n", refusal.c_str());
    return kHomeTakenStatus;
  }
  ConsoleWindow window(clock, out, err);
  const std::unique_ptr<Station> made = make(window, clock, home);
  Station& station = *made;
  // A stop signal must be heard inside a tick too: a transfer or a line reset can last long.
  station.SetStopRequest(StopRequest([&stop] { return stop != 0; }));
  station.FormCreate();
  if (station.config().PortNumber == 0) {
    const bool exists = FindNoCase(station.ExeDir, kStationConfigFile).has_value();
    std::fprintf(err,
                 "marvolen: la estación aún no tiene datos: %s%s %s.\n"
                 "La consola no puede mostrar el formulario de datos. Cree los datos con\n"
                 "  marvolen-config set --port N --speed BPS --password KEY --workdir DIR\n"
                 "o ejecute marvolen una vez en una pantalla (\"Modificar Datos\"). El directorio\n"
                 "de la estación es $MARVOLEN_HOME, o si no el del ejecutable.\n",
                 station.ExeDir.c_str(), kStationConfigFile,
                 exists ? "no tiene puerto serie o tiene menos de 107 bytes" : "no existe");
    station.FormClose();
    return 2;
  }
  std::fprintf(err,
               "marvolen: estación en marcha en la consola, directorio de la estación %s, "
               "directorio de trabajo %s; Ctrl-C o SIGTERM la detienen\n",
               station.ExeDir.c_str(), station.WorkDir.c_str());
  std::fflush(err);
  return RunConsole(station, window, clock, stop, wake_fd);
}

}  // namespace marvolen
