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
          // One line per variable, its name and text on the first line: help2man makes each an
          // entry of the man page's ENVIRONMENT section.
          "Environment:\n"
          "  MARVOLEN_HOME  the station home (\"marvolen.tcp\", \"tablas\", \"upgrade\"), else\n"
          "      the directory of the executable\n"
          "  MARVOLEN_COMn  the device of serial port n (a path, or tcp-modem:HOST:PORT for\n"
          "      the built-in modem emulator, \",paced\" to pace it at the configured\n"
          "      speed), else /dev/ttyS(n-1)\n"
          "  MARVOLEN_LINE  the line's name for its state file lines/NAME.json in the\n"
          "      working directory, else the name of the port's device\n"
          "  MARVOLEN_METRICS_DIR  where marvolen.prom is written (node_exporter's textfile\n"
          "      directory), else the working directory\n"
          "  MARVOLEN_MAX_IDLE_MINUTES  a call in which nothing has moved for this many\n"
          "      minutes is cut (2 to 1440, default 5); moving is the office's\n"
          "      identification, a reply the script takes (an echo, an acknowledgement) and\n"
          "      every block acknowledged or accepted\n"
          "  MARVOLEN_MAX_CALL_MINUTES  a call's allowance from its carrier before any byte\n"
          "      has moved (1 to 1440, default 30); each byte its transfers move adds four\n"
          "      times its line time at the configured speed (10 bit times a byte), and a\n"
          "      call that outlasts its allowance is cut\n"
          "  MARVOLEN_MAX_ARCHIVE_MIB  the most one archive received from an office may hold\n"
          "      (1 to 4096, default 64)\n"
          "  LC_TIME  the locale of the activity log's time stamps, else dd/mm/yyyy hh:mm:ss\n"
          "  NOTIFY_SOCKET, WATCHDOG_USEC, JOURNAL_STREAM  set by systemd: readiness, status\n"
          "      and watchdog pings are sent; the log lines go to the journal as entries with\n"
          "      PRIORITY, MARVOLEN_LINE, MARVOLEN_OFFICE, MARVOLEN_RESULT and MARVOLEN_REASON\n"
          "      (journalctl MARVOLEN_OFFICE=7), or with \"<N>\" priority prefixes when the\n"
          "      journal's socket is not there\n"
          "A value of a MARVOLEN_MAX_ variable that is not a whole number in range is reported\n"
          "and the default used.\n"))
    return *status;
  return marvolen::StationConsoleProgram(argc, argv, "marvolen-station");
}
