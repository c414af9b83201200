#include "platform/FileLock.h"
#include "tests/ScratchDir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace marvolen {
namespace {

namespace fs = std::filesystem;

class FileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch::NewScratchDir("lock");
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path LockPath() const { return dir_ / "test.lock"; }
  // True when the lock can be taken now (it is released again at once).
  bool Free() {
    std::error_code error;
    const bool taken = FileLock::TryAcquire(LockPath(), error).has_value();
    EXPECT_TRUE(taken || error == std::errc::operation_would_block) << error;
    return taken;
  }
  fs::path dir_;
};

TEST_F(FileLockTest, SecondHolderIsKeptOutUntilTheFirstLetsGo) {
  std::error_code error = std::make_error_code(std::errc::io_error);
  std::optional<FileLock> first = FileLock::TryAcquire(LockPath(), error);
  ASSERT_TRUE(first.has_value());
  EXPECT_FALSE(error);
  EXPECT_TRUE(fs::exists(LockPath()));

  // Kept out within the same process too, and again after a failed attempt.
  EXPECT_FALSE(FileLock::TryAcquire(LockPath(), error).has_value());
  EXPECT_EQ(error, std::errc::operation_would_block);
  EXPECT_FALSE(Free());

  // Moving the lock keeps it held; destroying the holder releases it.
  std::optional<FileLock> moved(std::move(*first));
  first.reset();
  EXPECT_FALSE(Free());
  moved.reset();
  EXPECT_TRUE(Free());
  EXPECT_TRUE(fs::exists(LockPath()));  // the file stays for the next holder
}

TEST_F(FileLockTest, MissingDirectoryIsAnErrorNotAHeldLock) {
  std::error_code error;
  EXPECT_FALSE(FileLock::TryAcquire(dir_ / "none" / "test.lock", error).has_value());
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

// Whoever can write the lock's directory cannot aim the lock elsewhere, have it write into
// something that is no file, or hang the taker (as a FIFO opened the blocking way would).
TEST_F(FileLockTest, OnlyARegularFileIsLocked) {
  ::alarm(20);
  fs::create_symlink(dir_ / "made", dir_ / "link");  // dangling: nothing is created through it
  fs::create_directory(dir_ / "dir");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  const std::pair<const char*, std::error_code> rows[] = {
      {"link", std::make_error_code(std::errc::too_many_symbolic_link_levels)},
      {"dir", std::make_error_code(std::errc::is_a_directory)},
      {"fifo", StationRefusal::kNotRegularFile}};
  for (const auto& [name, expected] : rows) {
    std::error_code error;
    EXPECT_FALSE(FileLock::TryAcquire(dir_ / name, error).has_value()) << name;
    EXPECT_EQ(error, expected) << name;
    EXPECT_EQ(FileLock::ReadNote(dir_ / name), "") << name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "made"));
  EXPECT_EQ(FileLock::ErrorText(std::make_error_code(std::errc::too_many_symbolic_link_levels)),
            "es un enlace simbólico, no se sigue");
  EXPECT_EQ(FileLock::ErrorText(StationRefusal::kNotRegularFile), "no es un archivo regular");
  ::alarm(0);
}

TEST_F(FileLockTest, NoteTellsWhoHoldsTheLock) {
  std::error_code error;
  std::optional<FileLock> lock = FileLock::TryAcquire(LockPath(), error);
  ASSERT_TRUE(lock.has_value());
  lock->WriteNote("a much longer first note");
  lock->WriteNote("pid 42");
  EXPECT_EQ(FileLock::ReadNote(LockPath()), "pid 42");
  EXPECT_EQ(FileLock::ReadNote(dir_ / "missing.lock"), "");
}

// The lock of a process that is killed is gone with it: no stale lock file keeps the next
// process out.
TEST_F(FileLockTest, KilledHolderReleasesTheLock) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::error_code error;
    std::optional<FileLock> held = FileLock::TryAcquire(LockPath(), error);
    const char byte = held ? '1' : '0';
    [[maybe_unused]] const ssize_t n = ::write(ready[1], &byte, 1);
    ::pause();
    std::_Exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(byte, '1');
  EXPECT_FALSE(Free());

  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(Free());
}

}  // namespace
}  // namespace marvolen
