#include "platform/FileOps.h"
#include "platform/TempNames.h"
#include "tests/ScratchDir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>

namespace marvolen {
namespace {

namespace fs = std::filesystem;

class TempNamesTest : public ::testing::Test {
 protected:
  TempNamesTest() { dir_ = scratch::NewScratchDir("tempnames"); }
  ~TempNamesTest() override { fs::remove_all(dir_); }

  void Touch(const std::string& name) { std::ofstream(dir_ / name) << "x"; }

  // The id of a process that has ended.
  static pid_t DeadPid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
  }

  fs::path dir_;
};

TEST_F(TempNamesTest, NamesAreUniqueAndCarryTheProcessId) {
  std::set<std::string> names;
  for (int i = 0; i < 5; ++i) names.insert(TempName("marvolen.tcp"));
  EXPECT_EQ(names.size(), 5u);
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(names.begin()->rfind(".marvolen.tcp." + pid + ".", 0), 0u);
}

TEST_F(TempNamesTest, OnlyLitterOfDeadOrOldProcessesIsRemoved) {
  const std::string dead = std::to_string(DeadPid());
  const std::string live = std::to_string(::getppid());
  Touch(".marvolen.tcp." + dead + ".0.tmp");
  fs::create_directory(dir_ / (".recibo." + dead + ".3.tmp"));
  std::ofstream(dir_ / (".recibo." + dead + ".3.tmp") / "TRAFICO.TRF") << "t";
  Touch(".MARVOLEN.TCP." + live + ".1.tmp");  // a live process's save in progress
  Touch(".of7.TRF." + live + ".2.tmp");
  fs::last_write_time(dir_ / (".of7.TRF." + live + ".2.tmp"),
                      fs::file_time_type::clock::now() - std::chrono::hours(2));
  const std::string own = TempName("own");
  Touch(own);
  // Look-alikes that are not temporary files of this pattern.
  Touch("marvolen.tcp." + dead + ".0.tmp");
  Touch(".notes." + dead + ".tmp");
  Touch("07122026114234.trf");

  RemoveStaleTemps(dir_);

  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{".MARVOLEN.TCP." + live + ".1.tmp", own,
                                         "marvolen.tcp." + dead + ".0.tmp",
                                         ".notes." + dead + ".tmp", "07122026114234.trf"}));
}

// A directory named with its final slash goes whole, a link in it is removed, never followed;
// "/" is refused.
TEST_F(TempNamesTest, RemoveTreeTakesADirectoryNamedWithItsSlash) {
  fs::create_directories(dir_ / "tree/sub");
  Touch("tree/sub/a");
  Touch("outside");
  fs::create_symlink(dir_ / "outside", dir_ / "tree/link");
  EXPECT_FALSE(RemoveTree(SystemFileOps(), (dir_ / "tree").string() + "//"));
  EXPECT_FALSE(fs::exists(dir_ / "tree"));
  EXPECT_TRUE(fs::exists(dir_ / "outside"));
  EXPECT_EQ(RemoveTree(SystemFileOps(), "/"), std::errc::invalid_argument);
}

}  // namespace
}  // namespace marvolen
