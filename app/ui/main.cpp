// marvolen: the station. With a display it opens the operator's window; with --console it
// runs headless, printing the log view on standard output.

#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/ConsoleWindow.h"
#include "app/ui/QtOperatorWindow.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void RequestStop(int) {
  g_stop = 1;
}

int RunConsoleProgram() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  marvolen::RealClock clock;
  return marvolen::ConsoleMain(marvolen::StationHome(), clock, stdout, stderr, g_stop);
}

}  // namespace

int main(int argc, char** argv) {
  bool console = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--console") == 0) {
      console = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::puts(
          "usage: marvolen [--console]\n"
          "  Opens the station's window; --console runs it without one, printing the log\n"
          "  view on standard output (SIGINT or SIGTERM stop it as \"Salir\" does).\n"
          "  The station home is $MARVOLEN_HOME, else the directory of the executable.");
      return 0;
    }
  }
  if (console) return RunConsoleProgram();
  return marvolen::ui::RunWindow(argc, argv);
}
