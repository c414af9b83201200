// The call's harness for the controller's, the script's and the station's tests: the
// controller and the script wired to a fake line, a recording window and a virtual clock; an
// office played on it; and the admission these tests stand in for the real one.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "FakeCallLine.h"
#include "app/LineController.h"
#include "call/Admission.h"
#include "call/LineTokens.h"
#include "call/SupervisionScript.h"
#include "platform/Clock.h"
#include "tests/ScratchDir.h"

namespace marvolen::testing {

// The stand-in admission: lets the office in for the identification `line`, through the
// hand-over the real admission ends with, as `office`.
inline CallReason AdmitAs(CallState& state, const std::string& line, AdmittedOffice office = {}) {
  AdmissionResult result;
  result.IdentLine = line;
  result.TableExt = state.TableExt;
  result.office = std::move(office);
  StoreAdmission(result, state);
  return CallReason::kNone;
}

struct CallHarness {
  // Without a station home of the test's own, the harness makes one; calls are recorded in
  // `work_dir` (by default that home).
  explicit CallHarness(std::filesystem::path exe_dir = {}, CallLimits limits = {},
                       const std::filesystem::path& work_dir = {})
      : recorder(RecorderSetup{(work_dir.empty() ? own_home.path() : work_dir).string() + "/",
                               "home", 2, "tcp-modem:1", 1 << 20, &file_ops},
                 clock),
        services{state,
                 line,
                 window,
                 clock,
                 [this](std::string_view t) { log.emplace_back(t); },
                 exe_dir.empty() ? own_home.path() : std::move(exe_dir),
                 &recorder,
                 StopRequest([this] { return stop_requested; }),
                 limits},
        script(
            services,
            [this](const std::string& k, const std::string& v) {
              params.emplace_back(k + "=" + v);
              if (write_param) write_param(k, v);
            },
            file_ops),
        controller(
            services, [this](const std::string& l) { return Admit(l); }, script) {}

  // From now on every call is recorded in the harness's own home ("calls.jsonl", "calls/").
  void RecordCalls() {
    controller.RecordCalls(&recorder, [this] { ++records; });
  }

  // One timer tick, then the timer's interval passes.
  void Tick() {
    window.timer_enabled = false;
    controller.Tick();
    clock.Advance(Millis(state.TimerInterval));
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) Tick();
  }
  // Brings the line up and a caller on: the state reads "conectando".
  void Connect() {
    Tick();  // reset
    line.carrier = true;
    Tick();
  }
  CallReason Admit(const std::string& l) {
    ident_lines.push_back(l);
    return admit_result ? AdmitAs(state, l, office) : refusal;
  }
  int Logged(std::string_view text) const {
    int n = 0;
    for (const auto& l : log) n += l == text;
    return n;
  }

  scratch::ScratchDir own_home{"harness"};
  VirtualClock clock;
  CallState state;
  FakeCallLine line;
  RecordingWindow window;
  std::vector<std::string> log, params, ident_lines;
  bool admit_result = true;
  CallReason refusal = CallReason::kWrongPassword;  // when admit_result is false
  AdmittedOffice office;                            // when it is true
  // The file calls of the filing and of the call's record; a test may make any of them fail.
  FileOps file_ops = SystemFileOps();
  // Stores the script's parameter writes too, when set (the office's real parameter file).
  SupervisionScript::ParamWriter write_param;
  CallRecorder recorder;
  int records = 0;              // records written
  bool stop_requested = false;  // the station's stop request, as a signal would set it
  CallServices services;
  SupervisionScript script;
  LineController controller;
};

// An admitted office played on a harness: it echoes every command the station sends and
// acknowledges it once it is done (a transfer's acknowledgement comes behind it).
struct PlayedOffice {
  CallHarness& h;
  std::filesystem::path dir;  // the office's directory on the station
  bool acknowledge = true;
  std::vector<std::string> commands;  // as the office received them
  size_t seen = 0;                    // the station's texts answered so far

  // Brings office 7 on with the identification flags `ident_flags` ("S": it holds traffic)
  // and admits it.
  void Admit(const std::string& ident_flags = "S");
  // Plays the office for the texts the station sent since the last call.
  void Answer();
  // Runs the call until the line is reset or `limit` ticks have passed.
  void RunCall(int limit = 2000);
};

inline void PlayedOffice::Admit(const std::string& ident_flags) {
  h.office.OfficeNumber = 7;
  h.office.OfficeDir = dir;
  h.office.RetryCount = 3;
  h.office.RetryPeriod = 15;
  h.Connect();
  // Twice over, as an office sends it: the flags are read from the line's first half.
  const std::string half = "Ident=00007" + ident_flags;
  h.line.Arrive(half + half + "\r");
  h.Tick();
  seen = h.line.sent.size();
}

inline void PlayedOffice::Answer() {
  const std::string ack = std::string(AckToken) + '\r';
  for (; seen < h.line.sent.size(); ++seen) {
    const std::string& text = h.line.sent[seen];
    if (text == GoToken) {
      if (acknowledge) h.line.Arrive(ack);
    } else if (text != "\n") {
      commands.push_back(text);
      h.line.Arrive(text);  // the echo
      const bool transfer =
          text.rfind("Recibir dato", 0) == 0 || text.rfind("Enviar  dato", 0) == 0;
      if (transfer && acknowledge) h.line.after_transfer = ack;
    }
  }
}

inline void PlayedOffice::RunCall(int limit) {
  for (int i = 0; i < limit && h.state.LineState == kStateConnected; ++i) {
    h.Tick();
    Answer();
  }
}

}  // namespace marvolen::testing
