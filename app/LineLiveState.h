// The station's side of a line's live state ("lines/NAME.json", see callrec/LineStatus.h):
// what the line is doing, written whole at every change and at least once a minute, so that
// the status page, the metrics and the monitoring see a line that is down or a station that
// hangs without waiting for offices to fall silent.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "call/CallState.h"
#include "callrec/LineStatus.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace marvolen {

// The variable that names the line (a service unit sets it to its instance's name).
inline constexpr char kLineNameVariable[] = "MARVOLEN_LINE";

// The line's name: `from_environment` when given (the value of MARVOLEN_LINE), else the name of
// the configured port's device (DefaultLineName). nullopt, with `error` saying why, when that is
// no valid line name.
std::optional<std::string> LineNameFor(int port, const char* from_environment, std::string& error);
// The name a line takes from its device when none is given: the device file's name ("ttyS0",
// "ttyUSB1") or, for the modem emulator, "tcp" and its TCP port ("tcp7007"). Stations that share
// a working directory each on its own port 1 then get names of their own instead of colliding
// on "com1". Characters a line name may not hold become '_', and a name still not valid (an
// empty one) is "com" and `port`.
std::string DefaultLineName(std::string_view device, int port);

// The call script's step in words, for an operator ("recepción de tráfico"): `line_state` and
// `step` are the call state's LineState and ScriptStep.
std::string CallStepWords(std::string_view line_state, int step);
// The line's state in one sentence, for the service manager's status line.
std::string LineStateWords(const LineStatus& status);

// What the line is doing at one moment, as the station sees it.
struct LineActivity {
  std::string state = kLineStarting;
  std::string reason;  // "down": why
  int office = 0;
  std::string step;
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
};

class LineLiveState {
 public:
  // Told each status written after a change of activity (not after a heartbeat alone).
  using Changed = std::function<void(const LineStatus& status)>;
  // Shows a line in the log view.
  using Show = std::function<void(std::string_view line)>;

  // `status` gives the line's name, device and process; the file goes to "lines/" in
  // `work_dir` through `ops` (which must outlive this).
  LineLiveState(std::string work_dir, LineStatus status, const Clock& clock, const FileOps& ops,
                Show show, Changed changed);

  // Takes the line's activity now: a change of state, reason, office or step is written at
  // once (and told), anything else (bytes moved) with the next heartbeat.
  void Update(const LineActivity& activity);
  // Writes the file again when the last write is a heartbeat interval old, with the bytes
  // moved as `activity` has them when given.
  void Heartbeat(const LineActivity* activity = nullptr);
  // When the next heartbeat is due: now when the file has not been written yet.
  MonoTime NextHeartbeat() const;

  const LineStatus& status() const { return status_; }

 private:
  void Write();

  const std::string work_dir_;
  LineStatus status_;
  const Clock& clock_;
  const FileOps& ops_;
  Show show_;
  Changed changed_;
  bool written_ = false;
  MonoTime written_at_{};
  // The error of the last write that failed, shown once until a write succeeds again.
  std::string told_;
};

}  // namespace marvolen
