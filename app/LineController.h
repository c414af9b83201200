// The spine of the station: one slice of work per tick. It resets the modem so that it
// answers by itself, notices a call, greets the caller until it identifies, hands the
// identification to the admission, runs the script while the call lasts, watches the carrier
// and the stall budget, and after every call hangs up and re-initialises the modem.
//
// Between ticks it says what it waits for (NextWait): a deadline of its own, received bytes,
// a change of carrier. The host sleeps on that instead of ticking at a fixed interval, so an
// idle line costs next to nothing and a call wakes as often as its bytes arrive.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "call/CallServices.h"
#include "call/LineAssembler.h"
#include "call/SupervisionScript.h"
#include "callrec/CallRecorder.h"

namespace marvolen {

// What the controller waits for before its next tick.
struct LineWait {
  // The next tick is due then at the latest: the line reset, the next greeting, the end of
  // the stall budget, a bound of the call's progress, the retry of a down line. MonoTime::max():
  // none.
  MonoTime due = MonoTime::max();
  // The next tick reads what the line receives: received bytes make it due at once. When
  // false, bytes that arrive wait for a later tick.
  bool input = false;
  // The next tick looks at the carrier, which is how it notices a call or its end: a line
  // whose status changes show no other way is looked at by then.
  MonoTime status_look = MonoTime::max();
  // The carrier as the controller last found it, where a change is worth a tick: a line that
  // signals its status and has it otherwise now makes the tick due at once.
  std::optional<bool> carrier;
};

class LineController final : public CallControl {
 public:
  // Decides on a complete "Ident=" line: kNone when the office is admitted (the state then
  // reads "conectado", step 0), else why the call is to be refused.
  using Admission = std::function<CallReason(const std::string& line)>;

  LineController(const CallServices& services, Admission admit, SupervisionScript& script);

  // One tick once the station has a configuration. The caller has disabled the timer;
  // every path leaves it enabled.
  void Tick();
  // What the next tick waits for, as of now (after a tick).
  LineWait NextWait() const;

  // Hangs up and re-initialises the modem; the state becomes "esperando".
  void ResetLine();
  // Keeps a record of every call with `recorder` (which must outlive the controller), and
  // runs `recorded` after each record is written. Without it no record is kept.
  void RecordCalls(CallRecorder* recorder, std::function<void()> recorded);
  // Runs `ended` the moment a call ends (its LF sent, before its record and the modem's
  // reset), so that what the line shows stops saying it is in a call.
  void WhenCallEnds(std::function<void()> ended) { call_ended_ = std::move(ended); }
  // True from the end of a call until the modem, hung up and readied again, answers.
  bool Resetting() const { return resetting_; }

  // Ends the call: closes its record (a success once the office was dismissed, a caller that
  // never identified when the greetings ran out, else aborted for `reason` with `detail`),
  // logs the abort when the script had started, flushes the activity log and resets the line.
  // A call cut by the station itself (stopped, too long, archive too large) says so first in
  // the log view and the activity log. While the station is being stopped the line is hung
  // up and left closed instead of being made ready for the next call.
  void AbortCall(CallReason reason, std::string detail = {}) override;
  // The station is stopping (a stop signal, the window closing): the call in progress, if
  // any, ends as stopped and the port is closed; the modem is not readied again.
  void Stop();
  // Shows and logs the refusal, closes the call's record as refused for `reason`, then ends
  // the call as AbortCall does.
  void RefuseCall(CallReason reason);
  // Closes the record of the call in progress, if any: the record is written and its end
  // line shown in the log view. The line itself is left alone.
  void EndRecord(CallResult result, CallReason reason, std::string detail = {});

  // The port could not be made to work at the last try (no device, a device that went away,
  // no serial device): the line takes no calls until a later try succeeds.
  bool LineDown() const { return line_failed_; }
  // The driver's error texts of that try, as the log view showed them.
  const std::string& DownReason() const { return down_reason_; }

 private:
  // What the controller does in one line state: a tick's work, and what the next tick waits
  // for. Every state is told apart in one place (RowOf).
  struct StateRow;
  static const StateRow& RowOf(const std::string& line_state);
  // The tick's work and the wait of each state; the in-call part common to all but the
  // first two is the row's `in_call`.
  void WaitReset(LineWait& wait, MonoTime now) const;
  void WaitWaiting(LineWait& wait, MonoTime now) const;
  void WaitConnecting(LineWait& wait, MonoTime now) const;
  void WaitConnected(LineWait& wait, MonoTime now) const;
  void WaitRefused(LineWait& wait, MonoTime now) const;
  void Waiting();
  void StartConnecting(int interval_ms);
  // True when the call was ended.
  bool StallCheck();
  void Connecting();
  void Connected();
  // A state no caller is admitted in: the call is refused.
  void Refused();
  // Counts a stray line (one that ended, or an over-long one) and empties the line buffer
  // of an ended one; true when there have been too many.
  bool CountStrayLine(LineStep step);
  // Forgets everything received and not yet taken: the bytes waiting at the port and the
  // line being assembled. What one caller sent must never be read as part of another call.
  void ForgetReceived();
  // True when the port cannot be used: it did not open, its device has stopped answering (a
  // USB adapter pulled out), or it is no serial device at all (a regular file, /dev/null).
  bool LineFailed() { return !LineFailure().empty(); }
  // The error texts that say so; empty when the port works.
  std::string LineFailure();
  // Opens the port that failed again, without the modem's reset; the full reset follows
  // when it works. A failure for the reason already shown is not shown again.
  void RetryFailedLine();
  // The line failed for `reason`: tried again after a pause that starts at a second and
  // doubles up to a minute, so that a device plugged back in is found soon, and a device
  // that stays away costs a few opens an hour.
  void LineFailedFor(std::string reason);
  // The first thing at the end of every call: the office's program is told with a single LF
  // at once, before any record or file work could keep it waiting, and the line is shown as
  // resetting. Gives back when the LF went, which Hangup's pause counts from.
  MonoTime SendHangupLf();
  // The rest of the end of every call: hangs up and resets the line (or, when stopping, leaves
  // it closed).
  void Hangup(MonoTime lf_sent);
  // True from the carrier to the hang-up.
  bool InCall() const;
  // Ends the call when nothing has moved for the idle bound or it has outlasted what it has
  // moved allows, and stops the line when the station is being stopped; true when the tick
  // has nothing more to do.
  bool CallBoundReached();
  // The line the log view and the activity log get when the station cuts a call itself;
  // empty for any other reason.
  std::string CutLine(CallReason reason) const;
  // A line of the caller's, complete or cut at the length limit, for the call's record.
  void NoteReceived(const std::string& line);
  // Tells the window which office the call's lines are about and, once it has ended, its
  // result and reason: the journal files the lines by them.
  void TellLogFacts(std::optional<CallResult> result = {}, CallReason reason = CallReason::kNone);

  CallServices s_;
  Admission admit_;
  SupervisionScript& script_;
  // The port failed at the last reset: it is left alone until it is opened afresh, no sooner
  // than failed_line_retry_at_ (see Waiting).
  bool line_failed_ = false;
  std::string down_reason_;
  Millis failed_line_pause_{0};
  MonoTime failed_line_retry_at_{};
  // The carrier went away while the caller was being greeted: the next carrier is a new
  // call, which must not find the bytes of the one that left.
  bool carrier_dropped_ = false;
  // When the last tick ended: the stall budget counts the time the line waits between ticks,
  // never the time spent inside one (a transfer, the script's pauses).
  MonoTime last_tick_end_{};
  CallRecorder* recorder_ = nullptr;
  std::function<void()> recorded_;
  std::function<void()> call_ended_;
  bool resetting_ = false;
};

}  // namespace marvolen
