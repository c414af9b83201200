// The controller and the script wired to a fake line, a recording window and a virtual clock.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "FakeCallLine.h"
#include "app/LineController.h"
#include "call/SupervisionScript.h"
#include "platform/Clock.h"
#include "tests/ScratchDir.h"

namespace marvolen::testing {

struct CallHarness {
  // Without a station home of the test's own, the harness makes one.
  explicit CallHarness(std::filesystem::path exe_dir = {}, CallLimits limits = {})
      : recorder(RecorderSetup{own_home.path().string() + "/", "home", 2, "tcp-modem:1"}, clock),
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
    if (!admit_result) return refusal;
    state.LineState = kStateConnected;
    state.ScriptStep = 0;
    return CallReason::kNone;
  }
  int Logged(std::string_view text) const {
    int n = 0;
    for (const auto& l : log) n += l == text;
    return n;
  }

  // The station changes into the office's directory and back during a call; the test's
  // process gets its own back (the scratch directories are gone by then).
  struct RestoreCurrentDir {
    std::filesystem::path saved = std::filesystem::current_path();
    ~RestoreCurrentDir() {
      std::error_code ignored;
      std::filesystem::current_path(saved, ignored);
    }
  } restore_current_dir;
  scratch::ScratchDir own_home{"harness"};
  VirtualClock clock;
  CallState state;
  FakeCallLine line;
  RecordingWindow window;
  std::vector<std::string> log, params, ident_lines;
  bool admit_result = true;
  CallReason refusal = CallReason::kWrongPassword;  // when admit_result is false
  // The traffic filing's file calls; a test may make any of them fail.
  FileOps file_ops = SystemFileOps();
  CallRecorder recorder;
  int records = 0;              // records written
  bool stop_requested = false;  // the station's stop request, as a signal would set it
  CallServices services;
  SupervisionScript script;
  LineController controller;
};

}  // namespace marvolen::testing
