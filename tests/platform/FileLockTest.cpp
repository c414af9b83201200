#include "platform/FileLock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>

namespace marvolen {
namespace {

namespace fs = std::filesystem;

class FileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "lock-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path LockPath() const { return dir_ / "test.lock"; }
  // True when the lock can be taken now (it is released again at once).
  bool Free() {
    int error = 0;
    const bool taken = FileLock::TryAcquire(LockPath(), error).has_value();
    EXPECT_TRUE(taken || error == EWOULDBLOCK) << error;
    return taken;
  }
  fs::path dir_;
};

TEST_F(FileLockTest, SecondHolderIsKeptOutUntilTheFirstLetsGo) {
  int error = -1;
  std::optional<FileLock> first = FileLock::TryAcquire(LockPath(), error);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(fs::exists(LockPath()));

  // Kept out within the same process too, and again after a failed attempt.
  EXPECT_FALSE(FileLock::TryAcquire(LockPath(), error).has_value());
  EXPECT_EQ(error, EWOULDBLOCK);
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
  int error = 0;
  EXPECT_FALSE(FileLock::TryAcquire(dir_ / "none" / "test.lock", error).has_value());
  EXPECT_EQ(error, ENOENT);
}

// Whoever can write the lock's directory cannot make the lock write elsewhere, write into
// something that is no file, or hang the taker: each is an error, and nothing is touched.
TEST_F(FileLockTest, OnlyARegularFileIsLockedNeverALinkADirectoryOrAFifo) {
  ::alarm(20);  // a FIFO opened the blocking way would hang here for good
  const fs::path outside = dir_ / "outside";
  std::ofstream(outside) << "ajeno";
  struct Row {
    const char* name;
    std::function<void(const fs::path&)> make;
    int error;
  };
  const Row rows[] = {
      {"link to a file", [&](const fs::path& p) { fs::create_symlink(outside, p); }, ELOOP},
      {"dangling link", [&](const fs::path& p) { fs::create_symlink(dir_ / "made", p); }, ELOOP},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, EISDIR},
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
       FileLock::kNotRegularFile},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path path = dir_ / row.name;
    row.make(path);
    int error = 0;
    std::optional<FileLock> lock = FileLock::TryAcquire(path, error);
    EXPECT_FALSE(lock.has_value());
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(FileLock::ReadNote(path), "");
    EXPECT_FALSE(FileLock::ErrorText(error).empty());
  }
  EXPECT_EQ(FileLock::ErrorText(ELOOP), "es un enlace simbólico, no se sigue");
  EXPECT_EQ(FileLock::ErrorText(FileLock::kNotRegularFile), "no es un archivo regular");
  EXPECT_FALSE(fs::exists(dir_ / "made"));  // nothing created through the link
  std::ifstream in(outside);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "ajeno");
  ::alarm(0);
}

TEST_F(FileLockTest, NoteTellsWhoHoldsTheLock) {
  int error = 0;
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
    int error = 0;
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
