// The console station as a program: `marvolen --console` and `marvolen-station` both run it,
// so the two take the same options, print the same lines and stop the same way.
#pragma once

#include <csignal>
#include <string_view>

#include "platform/SystemCalls.h"

namespace marvolen {

// SIGINT and SIGTERM, which stop the console station as "Salir" does. The handler sets the
// flag and writes one byte to a pipe, so that the console loop sleeps in poll() on the pipe
// until its timer is due or a signal comes, instead of waking now and then to look at the
// flag. One instance per process; the handlers stay installed after it is gone.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  const volatile std::sig_atomic_t& flag() const;
  // Readable once a stop signal came; -1 when no pipe could be made (the loop then looks at
  // the flag every so often).
  int fd() const { return read_fd_.get(); }

 private:
  UniqueFd read_fd_;
  // The pipe's other end; the handler writes to its number, which it reads from a global.
  UniqueFd write_fd_;
};

// Keeps the heap of a long-running station small: one malloc arena for every thread (the status
// page's worker would otherwise keep an arena of its own, megabytes that a rewrite left behind
// and the system never gets back), buffers of 1 MiB and more mapped apart and returned whole
// when freed, and the free top of the heap given back past 1 MiB (the allocator's own sliding
// thresholds would grow to the largest buffer ever freed). The station moves bytes at a
// modem's pace; it has no use for the speed these give up. Called first thing by both station
// programs.
void KeepHeapSmall();

// The whole program: options as `marvolen --console` takes them (`--console` is accepted and
// changes nothing, `--help` prints the usage), then the station on the real clock, the station
// home and the configured line until a stop signal. Returns the exit status. `program` names
// the program in the usage text.
int StationConsoleProgram(int argc, char** argv, std::string_view program);

}  // namespace marvolen
