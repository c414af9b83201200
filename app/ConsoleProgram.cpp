#include "app/ConsoleProgram.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/ConsoleWindow.h"
#include "app/LineStation.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace marvolen {

namespace {

volatile std::sig_atomic_t g_stop = 0;
int g_stop_pipe_write = -1;

extern "C" void RequestStop(int) {
  const int saved = errno;
  g_stop = 1;
  if (g_stop_pipe_write >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_stop_pipe_write, &byte, 1);
  }
  errno = saved;
}

}  // namespace

StopSignals::StopSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    read_fd_.reset(fds[0]);
    write_fd_.reset(fds[1]);
    g_stop_pipe_write = fds[1];
  }
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

StopSignals::~StopSignals() {
  // The handler stops writing before the descriptor goes.
  g_stop_pipe_write = -1;
}

const volatile std::sig_atomic_t& StopSignals::flag() const {
  return g_stop;
}

void KeepHeapSmall() {
  // The line's own buffers (blocks, archives of some KiB) stay on the heap, whose pages are
  // reused without faulting them in again; the page rewrite's buffers of megabytes go apart.
  constexpr int kBigBuffer = 1024 * 1024;
  // Each setting stands alone: one the library refuses leaves the others in place, and the
  // station runs as before with a larger heap.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, kBigBuffer);
  mallopt(M_TRIM_THRESHOLD, kBigBuffer);
}

int StationConsoleProgram(int argc, char** argv, std::string_view program) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "usage: %.*s [--console]\n"
          "  Runs the station without a window, printing the log view on standard output\n"
          "  (SIGINT or SIGTERM stop it as \"Salir\" does, cutting a call in progress).\n"
          "  The station home is $MARVOLEN_HOME, else the directory of the executable.\n"
          "  A call is cut when nothing has moved for $MARVOLEN_MAX_IDLE_MINUTES minutes\n"
          "  (default 5, at least 2: no block acknowledged or accepted, no reply the script\n"
          "  takes), or when it outlasts $MARVOLEN_MAX_CALL_MINUTES minutes (default 30)\n"
          "  plus four times the line time, at the configured speed, of the bytes its\n"
          "  transfers have moved: a transfer that keeps moving is never cut. An archive\n"
          "  received from an office holds at most $MARVOLEN_MAX_ARCHIVE_MIB MiB (default 64).\n",
          static_cast<int>(program.size()), program.data());
      return 0;
    }
  }
  KeepHeapSmall();
  const StopSignals signals;
  RealClock clock;
  return ConsoleMain(StationHome(), clock, stdout, stderr, signals.flag(), MakeLineStation,
                     signals.fd());
}

}  // namespace marvolen
