// The steps of the script an admitted office is led through, and the values `ScriptStep`
// takes. A positive value (or 0) is the step to perform at the next tick; while a command is
// out, the value is the negative of the step its acknowledgement moves the script on to
// (AwaitingAck); kDismissed once "Salir" has gone out. Only this header and the script's step
// table spell these numbers.
//
//   tables (0) ──ack──> delete table (1) ──ack──> delete command (2) ──ack──┐
//                            │ nothing to delete                             │
//                            └───────────────────────────────────────────────┤
//   ┌────────────────────────────────────────────────────────────────────────┘
//   └> traffic request (3) ──ack──> traffic filing (4) ──ack──> traffic delete (5) ──ack──┐
//            │ traffic already sent ("N"): message, ack │ no traffic came                  │
//            └──────────────────────────────────────────┴──────────────────────────────────┤
//   ┌──────────────────────────────────────────────────────────────────────────────────────┘
//   └> day files (6) ──ack / nothing asked──> parameters (7) ──> clock (9) ──ack / no clock──┐
//   ┌─────────────────────────────────────────────────────────────────────────────────────────┘
//   └> success (10) ──ack──> dismiss (11) ──> dismissed (−20): the call ends
//
// The numbers are those the office's own program was built against; 8 is not a step.
#pragma once

#include <string_view>

namespace marvolen::script {

enum Step : int {
  kTables = 0,
  kDeleteTable = 1,
  kDeleteCommand = 2,
  kTrafficRequest = 3,
  kTrafficFiling = 4,
  kTrafficDelete = 5,
  kDayFiles = 6,
  kParameters = 7,
  kClock = 9,
  kSuccess = 10,
  kDismiss = 11,
};

// "Salir" is out: the call ends as a success.
inline constexpr int kDismissed = -20;

// The value while a command is out whose acknowledgement moves the script on to `next`.
constexpr int AwaitingAck(Step next) {
  return -static_cast<int>(next);
}

// Whether `value` is a command out and not yet acknowledged, or the dismissal.
constexpr bool IsWaiting(int value) {
  return (value < 0 && value >= AwaitingAck(kDismiss)) || value == kDismissed;
}

// Whether the office has been dismissed (the acknowledgement of "Salir" included).
constexpr bool IsDismissed(int value) {
  return value == kDismissed || value == -kDismissed;
}

// What a step did, which decides where the script goes from it.
enum class Done {
  kSent,           // its command is out: the acknowledgement leads to the row's `next`
  kSentOtherwise,  // it sent its alternative: the acknowledgement leads to `otherwise`
  kNothing,        // nothing to send: `otherwise` follows at once
};

// One row of the step table.
struct StepRow {
  Step step;
  Step next;              // after the acknowledgement of the step's command
  Step otherwise;         // when the step sent its alternative or had nothing to send
  std::string_view name;  // the step's work in words, for the operator and the line's state
};

// The row of `step`; nullptr for a value that is no step (8, a negative value).
const StepRow* FindStep(int step);

// Where the script goes after `row`'s step did `done`: a step to perform, or a waiting value.
int NextValue(const StepRow& row, Done done);

// The call's phase in words for any value `ScriptStep` takes: the step's own name, or while
// a command is out, the name of the step that sent it ("recepción de tráfico" while the
// traffic comes in); "despedida" once dismissed; empty for a value no step has.
std::string_view StepName(int value);

}  // namespace marvolen::script
