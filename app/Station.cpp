#include "app/Station.h"

#include <cstdio>
#include <exception>

#include "platform/Errors.h"
#include "platform/FileNames.h"
#include "platform/Paths.h"
#include "platform/ShownText.h"
#include "platform/TempNames.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

std::string WithTrailingSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

void CreateDirectoryNoCase(const std::string& path) {
  fs::create_directories(ResolveNoCase(path));
}

}  // namespace

Station::Station(OperatorWindow& window, Clock& clock, fs::path home)
    : shown_window_(window),
      window_(shown_window_),
      clock_(clock),
      home_(std::move(home)),
      file_ops_(SystemFileOps()),
      log_(clock, state.IdentLine, WorkDir) {
  state.TimerInterval = 100;
}

void Station::SetFileOps(const FileOps& ops) {
  file_ops_ = ops;
  log_.SetFileOps(ops);
}

void Station::SetTimer1Interval(int ms) {
  state.TimerInterval = ms;
  window_.SetTimerInterval(ms);
}

void Station::SetTimer1Enabled(bool enabled) {
  window_.SetTimerEnabled(enabled);
}

void Station::AppException(std::string_view message) {
  window_.AddLine("ERROR PROGRAMA: " + std::string(message));
  CallFailed(message);
  state.LineState.clear();
  SetTimer1Enabled(true);
}

void Station::Guard(const std::function<void()>& work) noexcept {
  try {
    try {
      work();
    } catch (const std::exception& e) {
      AppException(ErrorText(e));
    } catch (...) {
      AppException("excepción desconocida");
    }
  } catch (const std::exception& e) {
    // The handler itself failed (the window could not take the line): nothing is left to
    // show it in but the standard error.
    std::fprintf(stderr, "marvolen: ERROR PROGRAMA: %s\n", e.what());
  } catch (...) {
    std::fputs("marvolen: ERROR PROGRAMA\n", stderr);
  }
}

void Station::FormCreate() {
  Guard([this] {
    ExeDir = WithTrailingSlash((home_.empty() ? StationHome() : home_).string());
    SetTimer1Interval(5000);
    state.LineState.clear();
    state.TableExt = TableKind::Tbl();
    state.GreetingCount = 0;
    window_.ClearLog();
    CreateStartupDirectories();

    const LoadedStationConfig loaded = LoadStationConfig(ExeDir);
    config_ = loaded.config;
    // Without a complete record the first tick asks for the settings; nothing is logged
    // and the timer keeps its design-time state.
    if (!loaded.complete) return;

    // A relative working directory is taken from the station home, where its settings are,
    // not from whatever directory the station happened to be started in.
    std::string dir = config_.WorkDir;
    if (dir.empty() || dir.front() != '/') {
      dir = fs::path(ExeDir + dir).lexically_normal().string();
    }
    WorkDir = WithTrailingSlash(dir);

    state.IdentLine = kIdentLineAtStart;
    log_.ResetCount();
    log_.LogEvent(" *********** Inicio Programa: " + ExeDir + "Marvolen.exe");
    RemoveInterruptedFiles();
    CreateDirectoryNoCase(WorkDir + "upgrades");
    SetTimer1Enabled(true);
  });
}

// A station stopped during a filing or a staging (killed, or by a power cut) left its
// temporary files behind: nothing refers to them, and each is told once.
void Station::RemoveInterruptedFiles() {
  for (const fs::path& path : RemoveInterruptedTemps(ExeDir, WorkDir, file_ops_)) {
    const std::string text =
        "Borrado archivo temporal de una escritura interrumpida: " + ShownText(path.string());
    window_.AddLine(text);
    log_.LogEvent(text);
  }
}

void Station::CreateStartupDirectories() {
  // The staging directories for what goes to an office.
  CreateDirectoryNoCase(ExeDir + "tablas");
  CreateDirectoryNoCase(ExeDir + "upgrade");
}

void Station::Timer1Timer() {
  Guard([this] {
    SetTimer1Enabled(false);
    if (config_.PortNumber == 0) {
      // Until the settings are saved (which ends the program) the timer stays off.
      FirstRunPrompt();
      return;
    }
    LineTick();
    SetTimer1Enabled(true);
  });
}

void Station::FirstRunPrompt() {
  config_.SettingsPassword = window_.InputBox("Ingrese la clave:", "").value_or("");
  window_.ShowSettingsForm();
}

void Station::Button2Click() {
  Guard([this] {
    log_.FlushLog();
    window_.Terminate();
  });
}

void Station::Stopping() {
  Guard([this] { StopLine(); });
}

void Station::FormClose() {
  // A call still up would otherwise leave no record.
  Stopping();
  // Lines still pending would otherwise be lost when the window is closed with its close box.
  Guard([this] { log_.FlushLog(); });
  Guard([this] { ClosePorts(); });
}

void Station::ModificarClick() {
  Guard([this] {
    SetTimer1Enabled(false);
    window_.ShowPasswordForm();
  });
}

void Station::ClosePasswordForm() {
  window_.HidePasswordForm();
  ClaveFormClose();
}

void Station::AceptarClick(std::string_view clave) {
  Guard([this, clave] {
    if (!PasswordOpensSettings(config_.SettingsPassword, clave)) {
      ClosePasswordForm();
      return;
    }
    config_.SettingsPassword = TrimTrailingBlanks(clave);
    ClosePasswordForm();
    window_.ShowSettingsForm();
  });
}

void Station::CancelarClick() {
  Guard([this] { ClosePasswordForm(); });
}

void Station::ClaveFormClose() {
  Guard([this] { SetTimer1Enabled(true); });
}

std::unique_ptr<Station> MakeStation(OperatorWindow& window, Clock& clock, const fs::path& home) {
  return std::make_unique<Station>(window, clock, home);
}

SettingsFields Station::DatosFormCreate() const {
  return SettingsFieldsFrom(config_);
}

void Station::GuardarClick(const SettingsFields& fields) {
  Guard([this, &fields] {
    if (const auto message = ApplySettings(fields, config_)) {
      window_.ShowMessage(*message);
      return;
    }
    SaveStationConfig(ExeDir, BuildStationConfigRecord(config_), file_ops_);
    // New settings take effect at the next start.
    SetTimer1Enabled(true);
    window_.Terminate();
  });
}

}  // namespace marvolen
