// marvolen-config run as its own process on a station home of the test's own.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

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

// Runs `command` through the shell; gives its exit status and what it wrote on standard error.
std::pair<int, std::string> Shell(const TempDir& scratch, const std::string& command) {
  const std::string err = (scratch.path() / "stderr").string();
  const int status = std::system((command + " >/dev/null 2>'" + err + "'").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(err)};
}

// The account the set-up commands hand their files to: "nobody" when the test runs as root
// (so that the hand-over is real), else the test's own user.
struct Account {
  std::string name;
  uid_t uid;
  gid_t gid;
};
Account ServiceAccount() {
  const struct passwd* pw = ::getuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::getuid());
  if (pw == nullptr) std::abort();
  return {pw->pw_name, pw->pw_uid, pw->pw_gid};
}
uid_t OwnerUid(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// Run as root, set opens the home once and never through a link: a home swapped for a link
// by whoever owns the directory above it sends nothing into the link's target.
TEST(ConfigTool, AsRootSetRefusesAHomeThatIsALink) {
  if (::getuid() != 0) GTEST_SKIP() << "only root refuses the link";
  TempDir scratch;
  const std::filesystem::path target = scratch.path() / "root-only", home = scratch.path() / "home";
  std::filesystem::create_directory(target);
  std::filesystem::create_directory_symlink(target, home);
  const auto [status, err] = Shell(
      scratch, "MARVOLEN_HOME='" + home.string() + "' '" + MARVOLEN_CONFIG_TOOL + "' set --port 1");
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("es un enlace simbólico"), std::string::npos) << err;
  EXPECT_TRUE(std::filesystem::is_empty(target));
}

// Without MARVOLEN_HOME the record would go beside the executable: a directory the tool may
// not write (as an installed /usr/bin is to every user) is refused with a message naming
// MARVOLEN_HOME, and nothing is written; a writable one still serves, as it always did.
TEST(ConfigTool, WithoutAHomeAnUnwritableProgramDirectoryIsRefused) {
  TempDir scratch;
  const std::filesystem::path bin = scratch.path() / "bin";
  std::filesystem::create_directory(bin);
  std::filesystem::copy_file(MARVOLEN_CONFIG_TOOL, bin / "marvolen-config");
  const std::string run = "env -u MARVOLEN_HOME '" + (bin / "marvolen-config").string() + "' ";
  const std::string set = "set --port 2 --speed 9600 --workdir /w";

  ::chmod(scratch.path().c_str(), 0755);
  ::chmod(bin.c_str(), 0555);
  const Account account = ServiceAccount();
  // Root may write anywhere: the tool runs as another user then, as an operator would.
  const std::string as_user = ::getuid() == 0 ? "setpriv --reuid=" + std::to_string(account.uid) +
                                                    " --regid=" + std::to_string(account.gid) +
                                                    " --clear-groups "
                                              : "";
  for (const std::string command : {"show", set.c_str()}) {
    const auto [status, err] = Shell(scratch, as_user + run + command);
    EXPECT_EQ(status, 2) << command;
    EXPECT_NE(err.find("MARVOLEN_HOME"), std::string::npos) << err;
  }
  EXPECT_FALSE(std::filesystem::exists(bin / "marvolen.tcp"));

  ::chmod(bin.c_str(), 0755);
  EXPECT_EQ(Shell(scratch, run + set).first, 0);
  EXPECT_EQ(ReadFile(bin / "marvolen.tcp").substr(55, 1), "2");
}

// "line" makes the service's home and working directory and the record, all belonging to the
// service's user even when run as root; a second line on the same port, a bad name and a new
// line without a port are refused without making anything.
TEST(ConfigTool, LineSetsUpAHomeOwnedByTheServiceUser) {
  TempDir scratch;
  const Account account = ServiceAccount();
  const std::filesystem::path lines = scratch.path() / "lines", shared = scratch.path() / "srv";
  std::filesystem::create_directory(lines);
  std::filesystem::create_directory(shared);
  ASSERT_EQ(::chown(lines.c_str(), account.uid, account.gid), 0);
  ASSERT_EQ(::chown(shared.c_str(), account.uid, account.gid), 0);
  ::chmod(scratch.path().c_str(), 0755);
  const std::string line = std::string("'") + MARVOLEN_CONFIG_TOOL + "' line ";
  const std::string where = " --lines-dir '" + lines.string() + "' --user " + account.name +
                            " --workdir '" + (shared / "work").string() + "'";

  auto [status, err] = Shell(scratch, line + "com3 --port 3 --speed 19200" + where);
  ASSERT_EQ(status, 0) << err;
  const std::filesystem::path home = lines / "com3";
  for (const auto& made : {home, home / "marvolen.tcp", shared / "work"}) {
    EXPECT_EQ(OwnerUid(made), account.uid) << made;
  }
  const std::string record = ReadFile(home / "marvolen.tcp");
  EXPECT_EQ(record.substr(50, 6), "192003");
  EXPECT_EQ(record.substr(55, 1), "3");
  EXPECT_EQ(record.substr(67, (shared / "work").string().size()), (shared / "work").string());

  // The same line again changes what is given and keeps the rest.
  std::tie(status, err) = Shell(scratch, line + "com3 --speed 9600" + where);
  EXPECT_EQ(status, 0) << err;
  EXPECT_EQ(ReadFile(home / "marvolen.tcp").substr(50, 6), "9600 3");
  // So does "set" on that home, run as root: the record stays the service user's.
  std::tie(status, err) = Shell(scratch, "MARVOLEN_HOME='" + home.string() + "' '" +
                                             MARVOLEN_CONFIG_TOOL + "' set --speed 2400");
  EXPECT_EQ(status, 0) << err;
  EXPECT_EQ(ReadFile(home / "marvolen.tcp").substr(50, 6), "2400 3");
  EXPECT_EQ(OwnerUid(home / "marvolen.tcp"), account.uid);

  std::tie(status, err) = Shell(scratch, line + "modem2 --port 3" + where);
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("com3"), std::string::npos) << err;
  EXPECT_EQ(Shell(scratch, line + "modem2" + where).first, 1);
  EXPECT_EQ(Shell(scratch, line + "../up --port 4" + where).first, 2);
  EXPECT_EQ(Shell(scratch, line + ".hidden --port 4" + where).first, 2);
  EXPECT_FALSE(std::filesystem::exists(lines / "modem2"));
  EXPECT_FALSE(std::filesystem::exists(scratch.path() / "up"));

  // Where the service's user may not write, neither may the tool, even as root.
  if (::getuid() == 0) {
    const std::filesystem::path closed = scratch.path() / "closed";
    std::filesystem::create_directory(closed);
    ::chmod(closed.c_str(), 0755);
    std::tie(status, err) = Shell(scratch, line + "com4 --port 4 --lines-dir '" + closed.string() +
                                               "' --user " + account.name);
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(std::filesystem::exists(closed / "com4"));
  }
}

}  // namespace
}  // namespace marvolen
