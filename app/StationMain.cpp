// marvolen-station: the station without a window and without Qt, for servers and service
// units. It is `marvolen --console` under another name.
#include "app/ConsoleProgram.h"

int main(int argc, char** argv) {
  return marvolen::StationConsoleProgram(argc, argv, "marvolen-station");
}
