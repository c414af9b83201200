// marvolen: the station. With a display it opens the operator's window; with --console it
// runs headless, printing the log view on standard output (as marvolen-station does).

#include <cstdio>
#include <cstring>

#include "app/ConsoleProgram.h"
#include "app/LineStation.h"
#include "app/ui/QtOperatorWindow.h"
#include "platform/ProgramInfo.h"

int main(int argc, char** argv) {
  bool console = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--console") == 0) {
      console = true;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("marvolen %s\n", std::string(marvolen::ProjectVersion()).c_str());
      return 0;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::puts(
          "usage: marvolen [--console]\n"
          "  Opens the station's window; --console runs it without one, printing the log\n"
          "  view on standard output. SIGINT or SIGTERM stop either as \"Salir\" does, cutting\n"
          "  a call in progress. The station home is $MARVOLEN_HOME, else the directory of\n"
          "  the executable. A call is cut when nothing has moved for\n"
          "  $MARVOLEN_MAX_IDLE_MINUTES minutes (default 5, at least 2: no block\n"
          "  acknowledged or accepted, no reply the script takes), or when it outlasts\n"
          "  $MARVOLEN_MAX_CALL_MINUTES minutes (default 30) plus four times the line\n"
          "  time, at the configured speed, of the bytes its transfers have moved: a\n"
          "  transfer that keeps moving is never cut. An archive received from an office\n"
          "  holds at most $MARVOLEN_MAX_ARCHIVE_MIB MiB (default 64).");
      return 0;
    }
  }
  if (console) return marvolen::StationConsoleProgram(argc, argv, "marvolen");
  marvolen::KeepHeapSmall();
  return marvolen::ui::RunWindow(argc, argv, marvolen::MakeLineStation);
}
