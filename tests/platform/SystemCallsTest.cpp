#include "platform/SystemCalls.h"

#include "platform/Dir.h"
#include "platform/FileOps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace marvolen {
namespace {

// A call that fails with each errno of `errors` in turn, then returns `result`.
struct ScriptedCall {
  std::vector<int> errors;
  int result = 0;
  int calls = 0;
  int operator()() {
    if (calls < static_cast<int>(errors.size())) {
      errno = errors[static_cast<size_t>(calls++)];
      return -1;
    }
    ++calls;
    return result;
  }
};

TEST(RetryOnEintr, RepeatsOnlyInterruptedCalls) {
  ScriptedCall interrupted{{EINTR, EINTR}, 7};
  EXPECT_EQ(RetryOnEintr([&] { return interrupted(); }), 7);
  EXPECT_EQ(interrupted.calls, 3);

  // Any other failure is the caller's, errno as the call left it.
  ScriptedCall full{{EINTR, ENOSPC}, 7};
  EXPECT_EQ(RetryOnEintr([&] { return full(); }), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(full.calls, 2);

  // The result's own type comes back (a read's ssize_t).
  const ssize_t n = RetryOnEintr([] { return static_cast<ssize_t>(5000000000LL); });
  EXPECT_EQ(n, 5000000000LL);
}

// Whether `fd` is still an open descriptor of this process.
bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesOnEveryWayOutOnce) {
  std::vector<int> closed;
  const auto recorder = [&](int fd) {
    closed.push_back(fd);
    return ::close(fd);
  };
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    UniqueFd a(raw, recorder);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), raw);
  }
  EXPECT_EQ(closed, std::vector<int>{raw});
  EXPECT_FALSE(IsOpen(raw));

  // Assigning over a held descriptor closes that one; reset does the same.
  const int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int second = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  UniqueFd held(first);
  held = UniqueFd(second);
  EXPECT_FALSE(IsOpen(first));
  EXPECT_TRUE(IsOpen(second));
  held.reset();
  EXPECT_FALSE(IsOpen(second));
  EXPECT_FALSE(held.valid());

  // A released descriptor stays open and is the caller's.
  const int kept = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(UniqueFd(kept).release(), kept);
  EXPECT_TRUE(IsOpen(kept));
  ::close(kept);
}

TEST(UniqueFd, CloseReportsTheSeamsFailureOnce) {
  int calls = 0;
  UniqueFd fd(42, [&](int) { return ++calls, errno = EIO, -1; });
  EXPECT_EQ(fd.Close(), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(fd.Close(), 0);  // nothing left to close
  EXPECT_EQ(calls, 1);
}

// What one raw read or write of the seam does: move up to `bytes` (-1: all it is asked for),
// or fail with `error`.
struct Step {
  ssize_t bytes;
  int error = 0;
};

enum class Transfer { kRead, kPRead, kWrite, kPWrite, kWriteAll };

// The file the scripted calls read from and write into, and the calls they saw.
struct ScriptedFile {
  std::vector<Step> steps;
  std::string contents;
  size_t calls = 0;
  std::vector<off_t> offsets;

  ssize_t Move(char* to, const char* from, size_t size, off_t at, bool is_read) {
    offsets.push_back(at);
    const Step step = calls < steps.size() ? steps[calls] : Step{-1};
    ++calls;
    if (step.error != 0) return errno = step.error, -1;
    size_t n = step.bytes < 0 ? size : std::min(size, static_cast<size_t>(step.bytes));
    if (is_read) {
      n = std::min(n, contents.size() - std::min(contents.size(), static_cast<size_t>(at)));
      std::memcpy(to, contents.data() + at, n);
    } else {
      if (contents.size() < static_cast<size_t>(at) + n)
        contents.resize(static_cast<size_t>(at) + n);
      std::memcpy(contents.data() + at, from, n);
    }
    return static_cast<ssize_t>(n);
  }

  FileOps Ops() {
    FileOps ops = SystemFileOps();
    off_t position = 0;
    ops.read = [this, position](int, void* b, size_t n) mutable {
      const ssize_t got = Move(static_cast<char*>(b), nullptr, n, position, true);
      if (got > 0) position += got;
      return got;
    };
    ops.pread = [this](int, void* b, size_t n, off_t at) {
      return Move(static_cast<char*>(b), nullptr, n, at, true);
    };
    ops.write = [this, position](int, const void* d, size_t n) mutable {
      const ssize_t put = Move(nullptr, static_cast<const char*>(d), n, position, false);
      if (put > 0) position += put;
      return put;
    };
    ops.pwrite = [this](int, const void* d, size_t n, off_t at) {
      return Move(nullptr, static_cast<const char*>(d), n, at, false);
    };
    return ops;
  }
};

// One policy for every read and write through the seam: EINTR is made again, a short transfer
// goes on where it stopped (at the right offset for pread and pwrite), a read stops only at the
// end of the file, a write that moves nothing is EIO, and any error is -1 even after a part.
TEST(FileOps, EveryTransferRetriesInterruptionsAndGoesOnAfterAShortOne) {
  const std::string kData = "0123456789";
  const struct {
    const char* name;
    Transfer transfer;
    std::vector<Step> steps;
    ssize_t result;  // WriteAll: 0 or the errno
    int error;       // errno after a failure
    size_t calls;
  } rows[] = {
      {"read whole", Transfer::kRead, {{-1}}, 10, 0, 1},
      {"read interrupted, short, interrupted",
       Transfer::kRead,
       {{0, EINTR}, {3}, {0, EINTR}, {-1}},
       10,
       0,
       4},
      {"read stops at the end of the file", Transfer::kRead, {{4}, {0}}, 4, 0, 2},
      {"read fails after a part", Transfer::kRead, {{4}, {0, EIO}}, -1, EIO, 2},
      {"pread in pieces", Transfer::kPRead, {{2}, {0, EINTR}, {5}, {-1}}, 10, 0, 4},
      {"pread fails", Transfer::kPRead, {{0, EISDIR}}, -1, EISDIR, 1},
      {"write in pieces", Transfer::kWrite, {{1}, {0, EINTR}, {1}, {-1}}, 10, 0, 4},
      {"write moving nothing", Transfer::kWrite, {{2}, {0}}, -1, EIO, 2},
      {"write on a full disk", Transfer::kWrite, {{9}, {0, ENOSPC}}, -1, ENOSPC, 2},
      {"pwrite in pieces", Transfer::kPWrite, {{3}, {3}, {0, EINTR}, {-1}}, 10, 0, 4},
      {"pwrite moving nothing", Transfer::kPWrite, {{0}}, -1, EIO, 1},
      {"WriteAll interrupted", Transfer::kWriteAll, {{0, EINTR}, {6}, {-1}}, 0, 0, 3},
      {"WriteAll on a full disk", Transfer::kWriteAll, {{6}, {0, ENOSPC}}, ENOSPC, ENOSPC, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedFile file;
    file.steps = row.steps;
    const bool is_read = row.transfer == Transfer::kRead || row.transfer == Transfer::kPRead;
    const off_t offset =
        row.transfer == Transfer::kPRead || row.transfer == Transfer::kPWrite ? 5 : 0;
    if (is_read) file.contents = std::string(static_cast<size_t>(offset), '-') + kData;
    const FileOps ops = file.Ops();
    std::string got(kData.size(), '\0');
    errno = 0;
    ssize_t result = 0;
    switch (row.transfer) {
      case Transfer::kRead:
        result = ReadFull(ops, 3, got.data(), got.size());
        break;
      case Transfer::kPRead:
        result = PReadFull(ops, 3, got.data(), got.size(), offset);
        break;
      case Transfer::kWrite:
        result = WriteFull(ops, 3, kData.data(), kData.size());
        break;
      case Transfer::kPWrite:
        result = PWriteFull(ops, 3, kData.data(), kData.size(), offset);
        break;
      case Transfer::kWriteAll:
        result = WriteAll(ops, 3, kData).value();
        break;
    }
    EXPECT_EQ(result, row.result);
    if (row.error != 0) {
      EXPECT_EQ(errno, row.error);
    }
    EXPECT_EQ(file.calls, row.calls);
    if (row.error != 0) continue;
    if (is_read) {
      EXPECT_EQ(got.substr(0, static_cast<size_t>(result)),
                kData.substr(0, static_cast<size_t>(result)));
    } else {
      EXPECT_EQ(file.contents, std::string(static_cast<size_t>(offset), '\0') + kData);
    }
    if (row.transfer == Transfer::kPRead || row.transfer == Transfer::kPWrite) {
      // Each piece asked for the bytes after the ones already moved, never the same again.
      EXPECT_TRUE(std::is_sorted(file.offsets.begin(), file.offsets.end()));
      EXPECT_EQ(file.offsets.front(), offset);
    }
  }
}

// Every other call of the seam is made again when interrupted; close never is, since the
// descriptor is gone after the first one whatever it returns.
// A file read in pieces: whole and at a place; a FIFO (which would hold the reader until
// someone writes) or a directory in its place is refused at once, with a code.
TEST(FileReader, ReadsARegularFileAndRefusesAnythingElse) {
  char dir_template[] = "/tmp/marvolen-reader-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string file = dir + "/tabla", fifo = dir + "/fifo";
  WriteNewFile(file, "0123456789");
  EXPECT_EQ(ReadWholeFile(file, "leyendo"), "0123456789");
  char piece[4];
  EXPECT_EQ(FileReader(file, "leyendo").ReadAt(piece, sizeof piece, 8), 2u);
  EXPECT_EQ(std::string(piece, 2), "89");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir}) {
    try {
      FileReader reader(path, "leyendo " + path);
      ADD_FAILURE() << path << " was opened";
    } catch (const FileError& e) {
      EXPECT_EQ(e.code(), std::error_code(StationRefusal::kNotRegularFile)) << path;
      EXPECT_NE(std::string(e.what()).find("no es un archivo regular"), std::string::npos);
    }
  }
  EXPECT_THROW(ReadWholeFile(dir + "/missing", "leyendo"), FileError);
  ::unlink(fifo.c_str());
  ::unlink(file.c_str());
  ::rmdir(dir.c_str());
}

// A directory held open: its entries reached through the handle, never through a link, and
// the meanings of failures asked by name.
TEST(Dir, WorksInWhatWasOpenedAndFollowsNoLinkInside) {
  char dir_template[] = "/tmp/marvolen-dir-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string top = dir_template;
  const Dir dir = Dir::Open(top + "/", Dir::Links::kRefuse);
  bool made = false;
  const Dir sub = dir.MakeChild("sub", 0755, &made);
  EXPECT_TRUE(made);
  sub.Replace("Tabla.txt", "uno");
  sub.Append("Tabla.txt", "dos");
  EXPECT_EQ(sub.ReadFile(*sub.FindNoCase("TABLA.TXT"), "leyendo"), "unodos");
  EXPECT_EQ(sub.PathOf("x"), top + "/sub/x");
  ASSERT_EQ(::symlink("sub", (top + "/link").c_str()), 0);
  ASSERT_EQ(::symlink("sub/Tabla.txt", (top + "/sub/file-link").c_str()), 0);
  std::error_code error;
  EXPECT_FALSE(dir.TryChild("link", error));
  EXPECT_TRUE(IsLink(error));
  EXPECT_FALSE(Dir::TryOpen(top + "/link/", Dir::Links::kRefuse, error));
  EXPECT_TRUE(IsLink(error));
  EXPECT_TRUE(Dir::TryOpen(top + "/link", Dir::Links::kFollow, error));
  EXPECT_THROW(sub.ReadFile("file-link", "leyendo"), FileError);
  EXPECT_FALSE(sub.TryLock("file-link", error));
  EXPECT_TRUE(IsLink(error));
  EXPECT_FALSE(dir.TryChild("none", error));
  EXPECT_TRUE(IsNotFound(error));
  EXPECT_EQ(dir.Owner().uid, ::geteuid());
  EXPECT_FALSE(dir.RemoveTree("sub"));
  EXPECT_FALSE(dir.Remove("link"));
  EXPECT_EQ(dir.List(), std::vector<std::string>{});
  ::rmdir(top.c_str());
}

TEST(FileOps, OnlyCloseIsNeverRepeated) {
  FileOps ops = SystemFileOps();
  ScriptedCall fsync{{EINTR, EINTR}, 0};
  ops.fsync = [&](int) { return fsync(); };
  EXPECT_EQ(ops.fsync(3), 0);
  EXPECT_EQ(fsync.calls, 3);

  ScriptedCall close{{EINTR}, 0};
  ops.close = [&](int) { return close(); };
  UniqueFd fd = AdoptFd(ops, 1000);
  EXPECT_EQ(fd.Close(), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_EQ(close.calls, 1);
}

}  // namespace
}  // namespace marvolen
