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
          "                  for the built-in modem emulator), else /dev/ttyS(n-1)\n"
          "  MARVOLEN_LINE   the line's name for its state file lines/NAME.json in the\n"
          "                  working directory, else \"com\" and the port number\n"
          "  NOTIFY_SOCKET, WATCHDOG_USEC, JOURNAL_STREAM\n"
          "                  set by systemd: readiness, status and watchdog pings are sent,\n"
          "                  and lines carry journal priorities\n"
          "  MARVOLEN_MAX_IDLE_MINUTES\n"
          "                  a call in which nothing has moved for this many minutes is\n"
          "                  cut (2 to 1440, default 5); moving is the office's\n"
          "                  identification, a reply the script takes (an echo, an\n"
          "                  acknowledgement) and every block acknowledged or accepted\n"
          "  MARVOLEN_MAX_CALL_MINUTES\n"
          "                  a call's allowance from its carrier before any byte has moved\n"
          "                  (1 to 1440, default 30); each byte its transfers move adds four\n"
          "                  times its line time at the configured speed (10 bit times a\n"
          "                  byte), and a call that outlasts its allowance is cut\n"
          "  MARVOLEN_MAX_ARCHIVE_MIB\n"
          "                  the most one archive received from an office may hold (1 to\n"
          "                  4096, default 64)\n\n"
          "Exit status: 0 stopped; 1 the activity log could not be written at the stop;\n"
          "2 no settings or a bad line name; 3 another station holds the home.\n"))
    return *status;
  return marvolen::StationConsoleProgram(argc, argv, "marvolen-station");
}
