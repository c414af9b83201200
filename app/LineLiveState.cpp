#include "app/LineLiveState.h"

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "call/ScriptSteps.h"
#include "link/PortDevices.h"
#include "link/TcpModem.h"

namespace marvolen {

std::string DefaultLineName(std::string_view device, int port) {
  std::string name;
  if (device.starts_with(kModemPrefix)) {
    std::string_view address = device.substr(kModemPrefix.size());
    address = address.substr(0, address.find(','));
    const std::size_t colon = address.rfind(':');
    name =
        "tcp" + std::string(colon == std::string_view::npos ? address : address.substr(colon + 1));
  } else {
    name = std::filesystem::path(device).filename().string();
  }
  for (char& c : name) {
    if (!IsLineName(std::string("x") + c)) c = '_';
  }
  // The end of a long device name (/dev/serial/by-id/...-port0) is what tells ports apart.
  if (name.size() > kMaxLineName) name.erase(0, name.size() - kMaxLineName);
  return IsLineName(name) ? name : "com" + std::to_string(port);
}

std::optional<std::string> LineNameFor(int port, const char* from_environment, std::string& error) {
  std::string name = from_environment != nullptr ? std::string(from_environment)
                                                 : DefaultLineName(PortDeviceName(port), port);
  if (IsLineName(name)) return name;
  error = "Nombre de línea no válido en " + std::string(kLineNameVariable) + ": \"" + name +
          "\" (de 1 a 32 letras, cifras, '-', '_' o '.', sin '.' al principio)";
  return std::nullopt;
}

std::string CallStepWords(std::string_view line_state, int step) {
  if (line_state == kStateConnecting) return "saludo, esperando la identificación";
  if (line_state != kStateConnected) return {};
  const std::string_view name = script::StepName(step);
  return name.empty() ? "paso " + std::to_string(step) : std::string(name);
}

std::string LineStateWords(const LineStatus& s) {
  const std::string line = "línea " + s.line + " (" + s.device + ")";
  if (s.state == kLineWaiting) return line + ": esperando llamadas";
  if (s.state == kLineInCall) {
    std::string text = line + ": en llamada";
    if (s.office != 0) text += " con la oficina " + std::to_string(s.office);
    if (!s.step.empty()) text += ", " + s.step;
    return text;
  }
  if (s.state == kLineResetting) return line + ": reiniciando el módem tras una llamada";
  if (s.state == kLineDown) return line + ": fuera de servicio: " + s.reason;
  if (s.state == kLineStopped) return line + ": detenida";
  return line + ": iniciando el módem";
}

LineLiveState::LineLiveState(std::string work_dir, LineStatus status, const Clock& clock,
                             const FileOps& ops, Show show, Changed changed)
    : work_dir_(std::move(work_dir)),
      status_(std::move(status)),
      clock_(clock),
      ops_(ops),
      show_(std::move(show)),
      changed_(std::move(changed)) {}

void LineLiveState::Update(const LineActivity& a) {
  const bool new_state = a.state != status_.state || a.reason != status_.reason;
  const bool changed =
      !written_ || new_state || a.office != status_.office || a.step != status_.step;
  if (!changed) {
    Heartbeat(&a);
    return;
  }
  if (new_state || !written_) status_.since = clock_.WallNow();
  status_.state = a.state;
  status_.reason = a.reason;
  status_.office = a.office;
  status_.step = a.step;
  status_.bytes_sent = a.bytes_sent;
  status_.bytes_received = a.bytes_received;
  Write();
  if (changed_) changed_(status_);
}

void LineLiveState::Heartbeat(const LineActivity* activity) {
  if (written_ && clock_.Now() - written_at_ < kLineHeartbeatInterval) return;
  if (activity != nullptr) {
    status_.bytes_sent = activity->bytes_sent;
    status_.bytes_received = activity->bytes_received;
  }
  Write();
}

MonoTime LineLiveState::NextHeartbeat() const {
  return written_ ? written_at_ + kLineHeartbeatInterval : clock_.Now();
}

void LineLiveState::Write() {
  // A write that fails is tried again no sooner than the next heartbeat: a full disk must not
  // cost a failed write at every tick.
  written_ = true;
  written_at_ = clock_.Now();
  status_.heartbeat = clock_.WallNow();
  try {
    WriteLineStatus(work_dir_, status_, ops_);
    told_.clear();
  } catch (const std::exception& e) {
    // The line goes on without its state file; the operator hears of it once.
    if (e.what() != told_ && show_) show_(std::string("*ERROR Estado de la línea: ") + e.what());
    told_ = e.what();
  }
}

}  // namespace marvolen
