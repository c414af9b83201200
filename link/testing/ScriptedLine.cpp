#include "link/testing/ScriptedLine.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "link/ModemPort.h"

namespace marvolen::testing {

namespace {

constexpr Millis kStep{1};

std::chrono::nanoseconds PerByte(std::uint32_t baud) {
  return baud ? std::chrono::nanoseconds(10'000'000'000LL / baud) : std::chrono::nanoseconds(0);
}

Millis Until(const Clock& clock, MonoTime deadline) {
  return std::chrono::duration_cast<Millis>(deadline - clock.Now());
}

}  // namespace

struct ScriptedLine::State {
  VirtualClock* clock = nullptr;
  int open_error = 0;
  bool open = false;
  int opens = 0;
  // Far-end bytes by arrival time; equal times keep their order.
  std::multimap<MonoTime, char> incoming;
  std::uint32_t pace = 0;
  std::uint32_t write_pace = 0;
  bool carrier = false;
  bool cts = true;
  bool dtr = true;
  bool rts = true;
  bool stall_writes = false;
  bool answer_at = false;
  std::string at_line;
  std::function<void(std::string_view)> on_write;
  std::vector<Write> writes;
  std::size_t taken = 0;
  LineSettings settings;
  std::vector<std::uint32_t> purges;
  std::map<DeviceCall, int> calls;
  std::map<DeviceCall, std::pair<int, int>> failures;  // errno, times left
  MonoTime written_by{};                               // when the last write has left the line

  // Counts the call; the errno it must fail with, or no code.
  std::error_code Enter(DeviceCall call) {
    ++calls[call];
    auto it = failures.find(call);
    if (it == failures.end()) return {};
    const int error = it->second.first;
    if (--it->second.second <= 0) failures.erase(it);
    return ErrnoCode(error);
  }

  void Arrive(MonoTime start, std::string_view bytes) {
    const auto per_byte = PerByte(pace);
    MonoTime at = start;
    if (per_byte.count() > 0 && !incoming.empty()) at = std::max(at, incoming.rbegin()->first);
    for (char c : bytes) {
      at += per_byte;
      incoming.emplace(at, c);
    }
  }

  std::size_t Arrived() const {
    const MonoTime now = clock->Now();
    std::size_t count = 0;
    for (auto it = incoming.begin(); it != incoming.end() && it->first <= now; ++it) ++count;
    return count;
  }

  std::string Take(std::size_t count) {
    std::string out;
    while (count-- > 0 && !incoming.empty()) {
      out += incoming.begin()->second;
      incoming.erase(incoming.begin());
    }
    return out;
  }

  void SetLines(const LineSettings& s) {
    if (s.DtrControl() == kControlDisable) dtr = false;
    if (s.DtrControl() == kControlEnable) dtr = true;
    if (s.RtsControl() == kControlDisable) rts = false;
    if (s.RtsControl() == kControlEnable) rts = true;
  }

  void AnswerCommand(std::string_view bytes) {
    Arrive(clock->Now(), bytes);  // the echo
    for (char c : bytes) {
      if (c != '\r') {
        at_line += c;
        continue;
      }
      const bool is_at = at_line.size() >= 2 && (at_line[0] == 'A' || at_line[0] == 'a') &&
                         (at_line[1] == 'T' || at_line[1] == 't');
      if (is_at) Arrive(clock->Now(), "\r\nOK\r\n");
      at_line.clear();
    }
  }
};

namespace {

class ScriptedDevice final : public SerialDevice {
 public:
  ScriptedDevice(VirtualClock& clock, std::shared_ptr<ScriptedLine::State> state)
      : clock_(clock), s_(std::move(state)) {
    s_->open = true;
    ++s_->opens;
  }
  ~ScriptedDevice() override { s_->open = false; }

  std::error_code GetState(LineSettings& settings) override {
    if (std::error_code e = s_->Enter(DeviceCall::kGetState)) return e;
    settings = s_->settings;
    return {};
  }
  std::error_code SetState(const LineSettings& settings) override {
    if (std::error_code e = s_->Enter(DeviceCall::kSetState)) return e;
    s_->settings = settings;
    s_->SetLines(settings);
    return {};
  }
  std::error_code SetTimeouts(const CommTimeouts&) override {
    return s_->Enter(DeviceCall::kSetTimeouts);
  }
  std::error_code SetupQueues(std::uint32_t, std::uint32_t) override {
    return s_->Enter(DeviceCall::kSetupQueues);
  }
  std::error_code SetEventMask(std::uint32_t) override {
    return s_->Enter(DeviceCall::kSetEventMask);
  }
  std::error_code Purge(std::uint32_t flags) override {
    if (std::error_code e = s_->Enter(DeviceCall::kPurge)) return e;
    s_->purges.push_back(flags);
    if (flags & kPurgeRxClear) {
      // What has arrived is discarded; what is still on its way comes later.
      s_->Take(s_->Arrived());
    }
    return {};
  }
  std::error_code ClearErrors(CommStatus& status) override {
    if (std::error_code e = s_->Enter(DeviceCall::kClearErrors)) return e;
    status.cbInQue = static_cast<std::uint32_t>(s_->Arrived());
    status.cbOutQue = 0;
    return {};
  }
  std::error_code GetModemStatus(std::uint32_t& bits) override {
    if (std::error_code e = s_->Enter(DeviceCall::kModemStatus)) return e;
    bits = kMsDsrOn | (s_->cts ? kMsCtsOn : 0) | (s_->carrier ? kMsRlsdOn : 0);
    return {};
  }
  std::error_code Escape(int function) override {
    if (std::error_code e = s_->Enter(DeviceCall::kEscape)) return e;
    switch (function) {
      case kSetDtr:
        s_->dtr = true;
        return {};
      case kClrDtr:
        s_->dtr = false;
        return {};
      case kSetRts:
        s_->rts = true;
        return {};
      case kClrRts:
        s_->rts = false;
        return {};
      case kSetXoff:
      case kSetXon:
      case kSetBreak:
      case kClrBreak:
        return {};
      default:
        return ErrnoCode(EINVAL);
    }
  }
  std::error_code StartWrite(std::string_view bytes) override {
    if (std::error_code e = s_->Enter(DeviceCall::kStartWrite)) return e;
    const MonoTime now = clock_.Now();
    s_->writes.push_back({now, std::string(bytes)});
    s_->written_by = std::max(s_->written_by, now) + std::chrono::duration_cast<MonoTime::duration>(
                                                         PerByte(s_->write_pace) * bytes.size());
    if (s_->answer_at && !s_->carrier) s_->AnswerCommand(bytes);
    // Copy: the handler may replace itself.
    if (auto handler = s_->on_write) handler(bytes);
    return {};
  }
  bool WaitWritten(Millis limit) override {
    if (s_->stall_writes) {
      clock_.Sleep(limit);
      return false;
    }
    const auto need = std::chrono::ceil<Millis>(s_->written_by - clock_.Now());
    if (need > limit) {
      clock_.Sleep(limit);
      return false;
    }
    if (need.count() > 0) clock_.Sleep(need);
    return true;
  }
  ReadResult Read(std::size_t count, std::string& out, Millis limit) override {
    if (std::error_code e = s_->Enter(DeviceCall::kRead)) return {e, false};
    const MonoTime deadline = clock_.Now() + limit;
    while (s_->Arrived() < count) {
      const Millis left = Until(clock_, deadline);
      if (left.count() <= 0) return {{}, true};
      clock_.Sleep(std::min(left, kStep));
    }
    out = s_->Take(count);
    return {};
  }
  // The scripted line runs on the virtual clock, which watches no descriptor: no stop.
  bool WaitForInput(Millis limit, int /*stop_fd*/) override {
    const MonoTime deadline = clock_.Now() + limit;
    while (s_->Arrived() == 0) {
      const Millis left = Until(clock_, deadline);
      if (left.count() <= 0) return true;
      clock_.Sleep(std::min(left, kStep));
    }
    return true;
  }

 private:
  VirtualClock& clock_;
  std::shared_ptr<ScriptedLine::State> s_;
};

}  // namespace

ScriptedLine::ScriptedLine(VirtualClock& clock) : clock_(clock), state_(std::make_shared<State>()) {
  state_->clock = &clock;
  state_->settings.BaudRate = 9600;
  state_->settings.flags = LineSettings::kBinary;
  state_->settings.SetDtrControl(kControlEnable);
  state_->settings.SetRtsControl(kControlEnable);
}

ScriptedLine::~ScriptedLine() = default;

DeviceOpener ScriptedLine::Opener(int port) {
  return [this, port](int asked) -> OpenedDevice {
    if (asked != port) return {nullptr, ErrnoCode(ENOENT)};
    if (state_->open_error) return {nullptr, ErrnoCode(state_->open_error)};
    return {NewDevice(), {}};
  };
}

std::unique_ptr<SerialDevice> ScriptedLine::NewDevice() {
  return std::make_unique<ScriptedDevice>(clock_, state_);
}

void ScriptedLine::FailOpen(int error) {
  state_->open_error = error;
}
void ScriptedLine::Send(std::string_view bytes) {
  state_->Arrive(clock_.Now(), bytes);
}
void ScriptedLine::SendAfter(Millis delay, std::string_view bytes) {
  state_->Arrive(clock_.Now() + delay, bytes);
}
void ScriptedLine::SetPace(std::uint32_t baud) {
  state_->pace = baud;
}
void ScriptedLine::SetWritePace(std::uint32_t baud) {
  state_->write_pace = baud;
}
void ScriptedLine::SetCarrier(bool on) {
  state_->carrier = on;
}
void ScriptedLine::SetCarrierAfter(Millis delay, bool on) {
  clock_.At(delay, [state = state_, on] { state->carrier = on; });
}
void ScriptedLine::SetCts(bool on) {
  state_->cts = on;
}
void ScriptedLine::OnWrite(std::function<void(std::string_view)> handler) {
  state_->on_write = std::move(handler);
}
void ScriptedLine::AnswerAtCommands(bool on) {
  state_->answer_at = on;
}
const std::vector<ScriptedLine::Write>& ScriptedLine::Writes() const {
  return state_->writes;
}

std::string ScriptedLine::Written() const {
  std::string all;
  for (const Write& w : state_->writes) all += w.bytes;
  return all;
}

std::string ScriptedLine::TakeWritten() {
  std::string fresh;
  for (std::size_t i = state_->taken; i < state_->writes.size(); ++i) {
    fresh += state_->writes[i].bytes;
  }
  state_->taken = state_->writes.size();
  return fresh;
}

bool ScriptedLine::IsOpen() const {
  return state_->open;
}
int ScriptedLine::Opens() const {
  return state_->opens;
}
bool ScriptedLine::Dtr() const {
  return state_->dtr;
}
bool ScriptedLine::Rts() const {
  return state_->rts;
}
LineSettings ScriptedLine::Settings() const {
  return state_->settings;
}
const std::vector<std::uint32_t>& ScriptedLine::Purges() const {
  return state_->purges;
}

int ScriptedLine::Calls(DeviceCall call) const {
  auto it = state_->calls.find(call);
  return it == state_->calls.end() ? 0 : it->second;
}

std::size_t ScriptedLine::Unread() const {
  return state_->incoming.size();
}

void ScriptedLine::Fail(DeviceCall call, int error, int times) {
  state_->failures[call] = {error, times};
}

void ScriptedLine::StallWrites(bool on) {
  state_->stall_writes = on;
}

// --- ScriptedModemLine ---------------------------------------------------------------

namespace {
class CallerModemPort;
}

struct ScriptedModemLine::State {
  CallerModemPort* port = nullptr;
  bool connected = false;
  std::string received;
  std::size_t taken = 0;
  std::string pending;  // caller bytes not yet taken by the modem
  int hang_ups = 0;
};

namespace {

class CallerModemPort final : public ModemPort {
 public:
  CallerModemPort(Clock& clock, std::shared_ptr<ScriptedModemLine::State> state, bool paced)
      : ModemPort(clock), s_(std::move(state)) {
    modem_.SetPacing(paced);
    s_->port = this;
  }
  ~CallerModemPort() override {
    if (s_->connected) HangUp();
    s_->port = nullptr;
  }
  void Refresh() { Pump(); }

 protected:
  void PumpLine() override {
    while (!s_->pending.empty() && modem_.CanTakeFromCaller()) {
      const std::size_t chunk = std::min<std::size_t>(s_->pending.size(), 256);
      const std::string bytes = s_->pending.substr(0, chunk);
      s_->pending.erase(0, chunk);
      modem_.FromCaller(bytes);
    }
  }
  bool WaitLine(Millis limit, int /*stop_fd*/) override {
    clock_.Sleep(std::min(limit, kStep));
    return true;
  }
  void SendToCaller(std::string_view bytes) override {
    if (s_->connected) s_->received.append(bytes);
  }
  void HangUp() override {
    s_->connected = false;
    s_->pending.clear();
    ++s_->hang_ups;
  }

 private:
  std::shared_ptr<ScriptedModemLine::State> s_;
};

}  // namespace

ScriptedModemLine::ScriptedModemLine(VirtualClock& clock, bool paced)
    : clock_(clock), paced_(paced), state_(std::make_shared<State>()) {}

ScriptedModemLine::~ScriptedModemLine() = default;

DeviceOpener ScriptedModemLine::Opener(int port) {
  return [this, port](int asked) -> OpenedDevice {
    if (asked != port) return {nullptr, ErrnoCode(ENOENT)};
    if (state_->port) return {nullptr, ErrnoCode(EBUSY)};
    return {std::make_unique<CallerModemPort>(clock_, state_, paced_), {}};
  };
}

bool ScriptedModemLine::Dial() {
  if (!state_->port || state_->connected) {
    return false;
  }
  state_->port->Refresh();
  if (!state_->port->Modem().IncomingCall()) return false;
  state_->connected = true;
  return true;
}

void ScriptedModemLine::CallerSend(std::string_view bytes) {
  if (!state_->connected || !state_->port) return;
  // Before the answer the modem hears nothing; the bytes are lost as on a real line.
  if (state_->port->Modem().CurrentState() != HayesModem::State::kOnline) return;
  state_->pending.append(bytes);
  state_->port->Refresh();
}

void ScriptedModemLine::CallerHangUp() {
  if (!state_->connected) return;
  state_->connected = false;
  state_->pending.clear();
  if (state_->port) state_->port->Modem().CallerHungUp();
}

bool ScriptedModemLine::CallerConnected() const {
  return state_->connected;
}
std::string ScriptedModemLine::CallerReceived() const {
  return state_->received;
}

std::string ScriptedModemLine::TakeCallerReceived() {
  std::string fresh = state_->received.substr(state_->taken);
  state_->taken = state_->received.size();
  return fresh;
}

int ScriptedModemLine::HangUps() const {
  return state_->hang_ups;
}

HayesModem* ScriptedModemLine::Modem() {
  return state_->port ? &state_->port->Modem() : nullptr;
}

}  // namespace marvolen::testing
