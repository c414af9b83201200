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
          "Usage: marvolen [--console]\n"
          "Opens the station's window; --console runs it without one, printing the log view\n"
          "on standard output. SIGINT or SIGTERM stop either as \"Salir\" does, cutting a\n"
          "call in progress.\n\n"
          "Environment:\n"
          "  MARVOLEN_HOME  the station home, else the directory of the executable\n"
          "  MARVOLEN_COMn  the device of serial port n, else /dev/ttyS(n-1)\n"
          "  MARVOLEN_MAX_IDLE_MINUTES  nothing moved for this many minutes cuts a call (5)\n"
          "  MARVOLEN_MAX_CALL_MINUTES  a call's allowance before its transfers earn more (30)\n"
          "  MARVOLEN_MAX_ARCHIVE_MIB  the most one archive received may hold (64)\n"
          "The others and the details: marvolen-station(8).");
      return 0;
    }
  }
  if (console) return marvolen::StationConsoleProgram(argc, argv, "marvolen");
  marvolen::KeepHeapSmall();
  return marvolen::ui::RunWindow(argc, argv, marvolen::MakeLineStation);
}
