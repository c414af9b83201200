// marvolen-station: the station without a window and without Qt, for servers and service
// units. It is `marvolen --console` under another name.
#include "app/ConsoleProgram.h"
#include "platform/ProgramInfo.h"

int main(int argc, char** argv) {
  if (const auto status = marvolen::AnswerInfoOption(
          argc, argv, "marvolen-station",
          "Usage: marvolen-station\n"
          "Runs the modem station without a window: every line of the log view is printed on\n"
          "standard output. SIGINT or SIGTERM stop it as \"Salir\" does.\n\n"
          "Environment:\n"
          "  MARVOLEN_HOME   the station home (\"marvolen.tcp\", \"tablas\", \"upgrade\"),\n"
          "                  else the directory of the executable\n"
          "  MARVOLEN_COMn   the device of serial port n (a path, or tcp-modem:HOST:PORT\n"
          "                  for the built-in modem emulator), else /dev/ttyS(n-1)\n"))
    return *status;
  return marvolen::StationConsoleProgram(argc, argv, "marvolen-station");
}
