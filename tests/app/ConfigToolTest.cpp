// marvolen-config run as its own process on a station home of the test's own.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace marvolen {
namespace {

using station_test::ReadFile;
using station_test::TempDir;

// Runs the tool with `args` (already quoted for the shell); gives its exit status.
int RunConfig(const TempDir& home, const std::string& args) {
  const std::string command = "MARVOLEN_HOME='" + home.path().string() + "' '" +
                              MARVOLEN_CONFIG_TOOL + "' " + args + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ConfigTool, ThePasswordIsCountedInCharacters) {
  TempDir home;
  const std::string set = "set --port 1 --speed 9600 --workdir /w --password ";
  // Ten characters, fourteen bytes in UTF-8: taken, and stored as ten bytes.
  ASSERT_EQ(RunConfig(home, set + "'ñandúñandú'"), 0);
  EXPECT_EQ(ReadFile(home.path() / "marvolen.tcp").substr(57, 10),
            "\xF1"
            "and\xFA\xF1"
            "and\xFA");
  // Eleven characters are one too many, whatever their bytes.
  EXPECT_EQ(RunConfig(home, set + "'ñandúñandúx'"), 1);
  EXPECT_EQ(RunConfig(home, set + "'abcdefghijk'"), 1);
}

}  // namespace
}  // namespace marvolen
