#include "app/LineController.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "call/LineAssembler.h"
#include "call/LineTokens.h"
#include "call/ScriptSteps.h"
#include "call/SupervisionScript.h"

namespace marvolen {

namespace {
constexpr int kStrayLineLimit = 10;
constexpr long long kStallBudgetMs = 30000;
constexpr int kGreetingRepeatLimit = 4;
constexpr long long kGreetingPeriodMs = 10000;
constexpr int kIdleIntervalMs = 500;
constexpr int kCarrierCallIntervalMs = 10;
constexpr int kRingCallIntervalMs = 100;
// How long a line whose carrier changes nothing signals goes before the carrier is looked at.
constexpr Millis kStatusLook{1000};
constexpr Millis kFirstLineRetry{1000};
constexpr Millis kLastLineRetry{60000};

// "5 min", or "4 min 45 s" for a time that is no whole number of minutes (seconds rounded
// down: the call lasted more than that).
std::string MinutesText(Millis time) {
  const long long seconds = time.count() / 1000;
  std::string text = std::to_string(seconds / 60) + " min";
  if (seconds % 60 != 0) text += " " + std::to_string(seconds % 60) + " s";
  return text;
}
}  // namespace

bool LineController::CountStrayLine(LineStep step) {
  // An over-long line has already given way to the byte that starts the next one.
  if (step == LineStep::kEnded) s_.line.LineBuffer().clear();
  return ++s_.state.StrayLineCount > kStrayLineLimit;
}

void LineController::ForgetReceived() {
  s_.line.PurgeInput();  // a failure shows up where the port is used next
  s_.line.Received().clear();
  s_.line.LineBuffer().clear();
}

std::string LineController::LineFailure() {
  std::string errors = s_.line.ClearPortErrors();
  if (errors.empty()) errors = s_.line.ReadModemStatus();
  return errors;
}

void LineController::LineFailedFor(std::string reason) {
  failed_line_pause_ =
      line_failed_ ? std::min(failed_line_pause_ * 2, kLastLineRetry) : kFirstLineRetry;
  line_failed_ = true;
  down_reason_ = std::move(reason);
  failed_line_retry_at_ = s_.clock.Now() + failed_line_pause_;
}

void LineController::RetryFailedLine() {
  s_.line.ClosePort();
  std::string errors = s_.line.OpenPort();
  errors += s_.line.PurgeAll();
  errors += s_.line.SetPortLines(PortLine::kSetRts);
  errors += s_.line.SetPortLines(PortLine::kSetDtr);
  const std::string failure = LineFailure();
  if (failure.empty()) {
    // Back: the modem is reset and readied as at start-up, every step shown.
    ResetLine();
    return;
  }
  const std::string reason = errors.empty() ? failure : errors;
  if (reason != down_reason_) s_.window.AddLine("Respuesta: " + reason);
  LineFailedFor(reason);
}

LineController::LineController(const CallServices& services, Admission admit,
                               SupervisionScript& script)
    : s_(services), admit_(std::move(admit)), script_(script) {}

struct LineController::StateRow {
  // From the carrier to the hang-up: the stall budget and the call's bounds apply.
  bool in_call;
  void (LineController::*tick)();
  void (LineController::*wait)(LineWait& wait, MonoTime now) const;
};

const LineController::StateRow& LineController::RowOf(const std::string& line_state) {
  static constexpr StateRow kReset{false, &LineController::ResetLine, &LineController::WaitReset};
  static constexpr StateRow kWaiting{false, &LineController::Waiting, &LineController::WaitWaiting};
  static constexpr StateRow kConnecting{true, &LineController::Connecting,
                                        &LineController::WaitConnecting};
  static constexpr StateRow kConnected{true, &LineController::Connected,
                                       &LineController::WaitConnected};
  static constexpr StateRow kRefused{true, &LineController::Refused, &LineController::WaitRefused};
  if (line_state.empty()) return kReset;
  if (line_state == kStateWaiting) return kWaiting;
  if (line_state == kStateConnecting) return kConnecting;
  if (line_state == kStateConnected) return kConnected;
  return kRefused;
}

bool LineController::InCall() const {
  return RowOf(s_.state.LineState).in_call;
}

bool LineController::CallBoundReached() {
  if (s_.stop.Requested()) {
    Stop();
    return true;
  }
  if (!InCall()) return false;
  switch (s_.state.Progress.Reached(s_.clock.Now())) {
    case CallBound::kIdle:
      AbortCall(CallReason::kNoProgress);
      return true;
    case CallBound::kTotal:
      AbortCall(CallReason::kCallTooLong);
      return true;
    case CallBound::kNone:
      break;
  }
  return false;
}

std::string LineController::CutLine(CallReason reason) const {
  switch (reason) {
    case CallReason::kStopped:
      return "Llamada cortada: la estación se detiene";
    case CallReason::kCallTooLong: {
      const CallProgress& progress = s_.state.Progress;
      return "Llamada cortada: dura más de " + MinutesText(progress.Allowance()) +
             ", lo permitido con " + std::to_string(progress.Bytes()) + " bytes movidos";
    }
    case CallReason::kNoProgress:
      return "Llamada cortada: sin avance en " + MinutesText(s_.state.Progress.Limits().idle);
    case CallReason::kArchiveTooLarge:
      return "Llamada cortada: archivo recibido de más de " +
             std::to_string(s_.limits.max_archive_bytes >> 20) + " MiB";
    default:
      return {};
  }
}

void LineController::Stop() {
  if (InCall()) {
    AbortCall(CallReason::kStopped);
  } else {
    // Nothing to finish: the port is closed, so that the modem stops answering.
    s_.line.ClosePort();
    s_.state.OfficeLock.reset();
    s_.state.LineState.clear();
  }
}

void LineController::Tick() {
  CallState& st = s_.state;
  struct TickEnd {
    LineController& c;
    ~TickEnd() { c.last_tick_end_ = c.s_.clock.Now(); }
  } end{*this};
  if (CallBoundReached()) {
    s_.window.SetTimerEnabled(true);
    return;
  }
  const StateRow& row = RowOf(st.LineState);
  if (!row.in_call || !StallCheck()) (this->*row.tick)();
  s_.window.SetTimerEnabled(true);
}

namespace {
void DueBy(LineWait& wait, MonoTime t) {
  wait.due = std::min(wait.due, t);
}
}  // namespace

LineWait LineController::NextWait() const {
  const MonoTime now = s_.clock.Now();
  const StateRow& row = RowOf(s_.state.LineState);
  LineWait wait;
  if (row.in_call) {
    DueBy(wait, s_.state.Progress.Deadline());
    wait.status_look = now + kStatusLook;
  }
  (this->*row.wait)(wait, now);
  return wait;
}

void LineController::WaitReset(LineWait& wait, MonoTime now) const {
  DueBy(wait, now);
}

void LineController::WaitWaiting(LineWait& wait, MonoTime now) const {
  if (line_failed_) {
    DueBy(wait, failed_line_retry_at_);
  } else {
    wait.status_look = now + kStatusLook;  // a call shows as the carrier
    wait.carrier = false;
  }
}

void LineController::WaitConnecting(LineWait& wait, MonoTime /*now*/) const {
  // The next greeting goes once the period is over (strictly).
  DueBy(wait, s_.state.LastGreetingTime + Millis(kGreetingPeriodMs + 1));
  // A line without carrier is not read: what comes belongs to no call.
  wait.input = !carrier_dropped_;
  wait.carrier = !carrier_dropped_;
}

void LineController::WaitConnected(LineWait& wait, MonoTime now) const {
  const CallState& st = s_.state;
  wait.input = true;
  wait.carrier = true;
  if (!script::IsWaiting(st.ScriptStep)) {
    DueBy(wait, now);  // the script has its next step to take
  } else if (st.LineState == st.PreviousLineState) {
    DueBy(wait, last_tick_end_ + Millis(std::max(kStallBudgetMs - st.StallTime, 0LL) + 1));
  } else {
    DueBy(wait, now);  // the first tick in the state starts the stall count
  }
}

void LineController::WaitRefused(LineWait& wait, MonoTime now) const {
  wait.input = true;
  wait.carrier = true;
  DueBy(wait, now);
}

void LineController::ResetLine() {
  CallState& st = s_.state;
  s_.window.AddLine(std::string(66, '*'));
  // Closing the port, and the modem reset that follows, end any call still up.
  s_.line.ClosePort();
  st.OfficeLock.reset();  // another line may serve the office from now on
  // The reset takes some ten seconds of pauses and modem commands; a station being stopped
  // leaves it half done (the state stays empty) rather than outstay its stop.
  if (!s_.stop.Pause(s_.clock, Millis(1000))) return;
  s_.window.SetModificarVisible(true);
  s_.window.SetTimerEnabled(true);
  s_.window.SetSalirEnabled(true);
  s_.window.SetLogVisible(true);
  st.StallTime = 0;

  std::string errors = s_.line.OpenPort();
  errors += s_.line.PurgeAll();
  errors += s_.line.SetPortLines(PortLine::kSetRts);
  errors += s_.line.SetPortLines(PortLine::kSetDtr);
  if (!errors.empty()) s_.window.AddLine("Respuesta: " + errors);

  for (const char* command : {"ATZ", "AT&D2", "AT S0=1"}) {
    if (!s_.stop.Pause(s_.clock, Millis(1000))) return;
    s_.line.SendModemCommand(command);
  }
  if (s_.stop.Requested()) return;

  st.StrayLineCount = 0;
  st.LineState = kStateWaiting;
  resetting_ = false;
  s_.SetTimerInterval(kIdleIntervalMs);
  ForgetReceived();
  // A line that did not come up is tried again later, not at every idle tick.
  if (const std::string failure = LineFailure(); !failure.empty()) {
    line_failed_ = false;  // a failure after a working line starts the pauses afresh
    LineFailedFor(errors.empty() ? failure : errors);
  } else {
    line_failed_ = false;
    down_reason_.clear();
  }
}

void LineController::StartConnecting(int interval_ms) {
  CallState& st = s_.state;
  st.CallStartTime = s_.clock.Now();
  st.Progress.Start(st.CallStartTime, s_.limits.Progress());
  // Bytes that came while no call was up (a caller that identified and hung up between two
  // idle ticks) belong to no one; the caller now on the line speaks after the greeting.
  ForgetReceived();
  carrier_dropped_ = false;
  std::string greeting(GreetingToken);
  if (recorder_ != nullptr) recorder_->CallStarted();
  s_.line.SendText(greeting + '\r');
  s_.window.AddLine("Conectándose ...");
  s_.window.SetSalirEnabled(false);
  st.LineState = kStateConnecting;
  s_.SetTimerInterval(interval_ms);
  st.LastGreetingTime = s_.clock.Now();
  s_.line.LineBuffer().clear();
  script_.NewCall();
}

void LineController::Waiting() {
  CallState& st = s_.state;
  // No carrier can come on a port that did not open, whose device went away or that is no
  // serial device; left alone, the station would stay deaf after the device is back. It is
  // opened afresh instead, at once when it was working, then after growing pauses. In
  // between it is not touched: every use would fail again and show its error at every idle
  // tick.
  if (line_failed_) {
    if (s_.clock.Now() >= failed_line_retry_at_) RetryFailedLine();
    return;
  }
  if (s_.line.CarrierLost()) {
    if (LineFailed()) ResetLine();
    return;
  }

  // The modem has answered a call.
  s_.window.SetModificarVisible(false);
  s_.line.ClearPortErrors();
  s_.line.Received().clear();
  st.GreetingCount = 0;
  if (!s_.line.CarrierLost()) {
    StartConnecting(kCarrierCallIntervalMs);
    return;
  }

  // The carrier vanished between the two checks: a modem that reports calls with RING lines.
  if (s_.line.BytesWaiting() == 0) return;
  const std::string error = s_.line.ReadPort();
  if (!error.empty()) s_.window.AddLine("*ERROR Lectura: " + error);
  const std::string received = s_.line.Received();
  std::string& buffer = s_.line.LineBuffer();
  for (char c : received) {
    const LineStep step = AssembleLine(buffer, c);
    if (step == LineStep::kMore) continue;
    if (step == LineStep::kEnded && buffer == "RING") {
      StartConnecting(kRingCallIntervalMs);
      return;
    }
    if (CountStrayLine(step)) {
      ResetLine();
      return;
    }
  }
}

bool LineController::StallCheck() {
  CallState& st = s_.state;
  if (st.LineState != kStateConnecting && s_.line.CarrierLost()) {
    AbortCall(CallReason::kCarrierLost);
    return true;
  }
  if (st.LineState != kStateConnecting && st.LineState == st.PreviousLineState) {
    // The time the line waited since the last tick; a tick that follows at once still counts
    // a millisecond, so that a script that never waits cannot run for ever.
    st.StallTime += std::max(ElapsedMs(last_tick_end_, s_.clock.Now()), 1LL);
    if (st.StallTime > kStallBudgetMs) {
      AbortCall(CallReason::kStall);
      return true;
    }
    return false;
  }
  st.PreviousLineState = st.LineState;
  st.StallTime = 0;
  return false;
}

void LineController::Connecting() {
  CallState& st = s_.state;
  if (s_.line.CarrierLost()) {
    carrier_dropped_ = true;
    return;
  }
  if (carrier_dropped_) {
    // Another call (or the same caller dialling again): nothing of the last one is read.
    carrier_dropped_ = false;
    ForgetReceived();
  }

  if (std::llabs(ElapsedMs(st.LastGreetingTime, s_.clock.Now())) > kGreetingPeriodMs) {
    if (++st.GreetingCount > kGreetingRepeatLimit) {
      AbortCall(CallReason::kNone);
      return;
    }
    s_.line.LineBuffer().clear();
    s_.line.SendText(std::string(GreetingToken) + '\r');
    st.LastGreetingTime = s_.clock.Now();
  }

  // A device that went away would otherwise keep the call for the whole greeting time, with a
  // status error in the log view at every tick.
  if (LineFailed()) {
    AbortCall(CallReason::kCarrierLost);
    return;
  }
  s_.line.Received().clear();
  if (s_.line.BytesWaiting() == 0) return;
  s_.line.ReadPort();
  const std::string received = s_.line.Received();
  if (received.empty()) return;

  std::string& buffer = s_.line.LineBuffer();
  for (char c : received) {
    const LineStep step = AssembleLine(buffer, c);
    if (step == LineStep::kMore) continue;
    NoteReceived(step == LineStep::kEnded ? buffer : std::string("(línea demasiado larga)"));
    if (step != LineStep::kEnded || buffer.compare(0, 6, "Ident=") != 0) {
      if (CountStrayLine(step)) {
        RefuseCall(CallReason::kTooManyStrayLines);
        return;
      }
      continue;
    }
    const std::string line = buffer;
    const CallReason refusal = admit_(line);
    TellLogFacts();
    if (refusal != CallReason::kNone) {
      RefuseCall(refusal);
    } else {
      st.Progress.Moved(0, s_.clock.Now());  // the office identified
    }
    return;
  }
}

void LineController::Refused() {
  RefuseCall(CallReason::kNone);
}

void LineController::Connected() {
  if (s_.line.CarrierLost() || LineFailed()) {
    AbortCall(CallReason::kCarrierLost);
    return;
  }
  script_.Run(*this);
}

void LineController::RecordCalls(CallRecorder* recorder, std::function<void()> recorded) {
  recorder_ = recorder;
  recorded_ = std::move(recorded);
}

void LineController::TellLogFacts(std::optional<CallResult> result, CallReason reason) {
  LogFacts facts;
  if (recorder_ != nullptr) facts.office = recorder_->Last().office.value_or(0);
  if (result) {
    facts.result = ResultName(*result);
    facts.reason = ReasonName(reason);
  }
  s_.window.SetLogFacts(facts);
}

void LineController::NoteReceived(const std::string& line) {
  if (recorder_ != nullptr) recorder_->LineReceived(line);
}

void LineController::EndRecord(CallResult result, CallReason reason, std::string detail) {
  if (recorder_ == nullptr || !recorder_->InCall()) return;
  const std::string errors = recorder_->Ended(result, reason, std::move(detail));
  TellLogFacts(result, reason);
  s_.window.AddLine(CallEndLine(recorder_->Last()));
  // The station goes on without the record rather than stop taking calls; the operator is
  // told why it is missing.
  if (!errors.empty()) s_.window.AddLine("*ERROR Registro de llamada: " + errors);
  s_.window.SetLogFacts({});
  if (recorded_) recorded_();
}

MonoTime LineController::SendHangupLf() {
  s_.line.SendText("\n");
  const MonoTime sent = s_.clock.Now();
  resetting_ = true;
  if (call_ended_) call_ended_();
  return sent;
}

void LineController::AbortCall(CallReason reason, std::string detail) {
  const MonoTime lf_sent = SendHangupLf();
  const CallState& st = s_.state;
  if (script::IsDismissed(st.ScriptStep)) {
    EndRecord(CallResult::kSuccess, CallReason::kNone);
  } else if (st.LineState == kStateConnecting && st.GreetingCount > kGreetingRepeatLimit) {
    EndRecord(CallResult::kNeverIdentified, CallReason::kNone);
  } else {
    if (const std::string cut = CutLine(reason); !cut.empty()) s_.ShowAndLog(cut);
    EndRecord(CallResult::kAborted, reason, std::move(detail));
  }
  Hangup(lf_sent);
}

void LineController::Hangup(MonoTime lf_sent) {
  CallState& st = s_.state;
  if (script_.Unfinished()) {
    s_.log_event("Comunicación abortada!!!!");
  }
  // The office is given a second after the LF to hang up; the record's work counts in it.
  const MonoTime pause_end = lf_sent + Millis(1000);
  if (const MonoTime now = s_.clock.Now(); now < pause_end)
    s_.clock.Sleep(std::chrono::duration_cast<Millis>(pause_end - now));
  s_.log_event("");
  st.LineState.clear();
  st.ScriptStep = script::kTables;
  s_.window.SetTimerEnabled(false);
  if (s_.stop.Requested()) {
    // The station is on its way out: the line is hung up and stays so.
    s_.line.ClosePort();
    st.OfficeLock.reset();
    return;
  }
  ResetLine();
}

void LineController::RefuseCall(CallReason reason) {
  const MonoTime lf_sent = SendHangupLf();
  TellLogFacts(CallResult::kRefused, reason);
  s_.ShowAndLog("Ingreso No autorizado!!");
  EndRecord(CallResult::kRefused, reason);
  Hangup(lf_sent);
}

}  // namespace marvolen
