// The one seam between the station and the system: the station's file, directory and
// serial-port calls go through a FileOps, so that a test can make any one of them fail (a full
// disk, an I/O error, a vanished device, a rival creating a file), even when the tests run as
// root, where a read-only file or directory cannot be arranged with chmod.
//
// One policy for every caller:
// - Each member returns what the call it is named after returns and leaves errno set on
//   failure. A call that a signal interrupted before it did anything (EINTR) is made again,
//   inside the member, for all of them but close, which must not be repeated. A poll is made
//   again with the same time-out, so it is only given short ones (the port polls with none).
// - A read or write may move fewer bytes than asked; ReadFull, PReadFull, WriteFull,
//   PWriteFull and WriteAll below go on until all is moved, a read stops only at the end of
//   the file, and a write that moves nothing is an error (EIO) rather than a loop for ever.
// - Every descriptor opened through the seam is held in a UniqueFd that closes it through the
//   same seam (OpenFd, OpenAtFd, AdoptFd).
//
// A test copies SystemFileOps() and replaces the members it wants to fail.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <termios.h>

#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/Errors.h"
#include "platform/SystemCalls.h"

namespace marvolen {

class Dir;

// A system call that is made again while it fails with EINTR (RetryOnEintr); assigned from
// any callable of the same shape.
template <typename Signature>
class RetriedCall;

template <typename R, typename... Args>
class RetriedCall<R(Args...)> {
 public:
  RetriedCall() = default;
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RetriedCall> &&
                                                    std::is_invocable_r_v<R, F&, Args...>>>
  RetriedCall(F call) : call_(std::move(call)) {}  // NOLINT: assigned from lambdas in tests

  explicit operator bool() const { return static_cast<bool>(call_); }

  R operator()(Args... args) const {
    return RetryOnEintr([&] { return call_(args...); });
  }

 private:
  std::function<R(Args...)> call_;
};

struct FileOps {
  RetriedCall<int(const char* path, int flags, mode_t mode)> open;
  RetriedCall<int(int dir_fd, const char* name, int flags, mode_t mode)> openat;
  // An anonymous temporary file for reading and writing, gone when closed.
  RetriedCall<int()> open_temporary;
  std::function<int(int fd)> close;
  // A second descriptor of what `fd` is open on, closed on exec like every other.
  RetriedCall<int(int fd)> dup;
  RetriedCall<ssize_t(int fd, void* buffer, size_t size)> read;
  RetriedCall<ssize_t(int fd, void* buffer, size_t size, off_t offset)> pread;
  RetriedCall<ssize_t(int fd, const void* data, size_t size)> write;
  RetriedCall<ssize_t(int fd, const void* data, size_t size, off_t offset)> pwrite;
  RetriedCall<off_t(int fd, off_t offset, int whence)> lseek;
  RetriedCall<int(const char* path, struct stat* st)> stat;
  RetriedCall<int(int fd, struct stat* st)> fstat;
  RetriedCall<int(int dir_fd, const char* name, struct stat* st, int flags)> fstatat;
  RetriedCall<int(int fd, struct statvfs* st)> fstatvfs;
  RetriedCall<int(int fd, off_t length)> ftruncate;
  RetriedCall<int(const char* path, off_t length)> truncate;
  RetriedCall<int(int fd)> fsync;
  // Flushes the whole file system that `fd` lies on.
  RetriedCall<int(int fd)> syncfs;
  RetriedCall<int(int fd, mode_t mode)> fchmod;
  RetriedCall<int(int fd, const timespec times[2])> futimens;
  RetriedCall<int(const char* from, const char* to)> rename;
  // Renames `from` to `to` only when nothing is at `to` (EEXIST otherwise), on file systems
  // without the no-replace rename too.
  RetriedCall<int(const char* from, const char* to)> rename_noreplace;
  RetriedCall<int(int from_dir, const char* from, int to_dir, const char* to)> renameat;
  // rename_noreplace, from and to names in the directory open at `dir_fd`.
  RetriedCall<int(int dir_fd, const char* from, const char* to)> renameat_noreplace;
  RetriedCall<int(const char* path)> unlink;
  RetriedCall<int(int dir_fd, const char* name, int flags)> unlinkat;
  RetriedCall<int(int dir_fd, const char* name, mode_t mode)> mkdirat;
  // ioctl requests taking a pointer argument (or none: nullptr).
  RetriedCall<int(int fd, unsigned long request, void* argument)> ioctl;
  RetriedCall<int(int fd, int operation)> flock;
  // fcntl's record locks (F_OFD_SETLK ...).
  RetriedCall<int(int fd, int command, struct flock* lock)> fcntl_lock;
  RetriedCall<int(int fd, termios* settings)> tcgetattr;
  RetriedCall<int(int fd, int when, const termios* settings)> tcsetattr;
  RetriedCall<int(int fd, int queue)> tcflush;
  RetriedCall<int(int fd, int action)> tcflow;
  RetriedCall<int(pollfd* fds, nfds_t count, int timeout_ms)> poll;
};

// The real system calls.
const FileOps& SystemFileOps();

// `fd` (or none, -1), closed through `ops` (which must outlive it) when the holder goes.
UniqueFd AdoptFd(const FileOps& ops, int fd);
// Opens with O_CLOEXEC added; an invalid UniqueFd with errno set on failure.
UniqueFd OpenFd(const FileOps& ops, const char* path, int flags, mode_t mode = 0);
UniqueFd OpenAtFd(const FileOps& ops, int dir_fd, const char* name, int flags, mode_t mode = 0);

// The names in the directory open at `dir_fd`, "." and ".." left out, in the system's order;
// nullopt (errno set) when it cannot be read. `dir_fd` itself is neither moved nor closed.
std::optional<std::vector<std::string>> ListDirectory(const FileOps& ops, int dir_fd);

// Whole transfers: the count moved, fewer than `size` only when a read reached the end of the
// file; -1 with errno set on any error, even after a part was moved.
ssize_t ReadFull(const FileOps& ops, int fd, void* buffer, size_t size);
ssize_t PReadFull(const FileOps& ops, int fd, void* buffer, size_t size, off_t offset);
ssize_t WriteFull(const FileOps& ops, int fd, const void* data, size_t size);
ssize_t PWriteFull(const FileOps& ops, int fd, const void* data, size_t size, off_t offset);

// A regular file read in pieces, front to back or at given places, for callers that hold a
// piece at a time. A failure throws FileError with `doing` (which names the file) and the
// errno; anything but a regular file (a FIFO, a directory, a device) is refused unread.
class FileReader {
 public:
  FileReader(const std::string& path, std::string doing, const FileOps& ops = SystemFileOps());
  // The file `name` in `dir`, never through a link.
  FileReader(const Dir& dir, const std::string& name, std::string doing);

  // Up to `size` bytes from where the last read ended; fewer only at the file's end.
  size_t Read(char* buffer, size_t size);
  // Up to `size` bytes from `offset`; fewer only at the file's end.
  size_t ReadAt(char* buffer, size_t size, off_t offset);
  // The rest of the file.
  std::string ReadAll();

 private:
  FileReader(UniqueFd fd, std::string doing, const FileOps& ops);
  size_t Checked(ssize_t got);

  const FileOps& ops_;
  const std::string doing_;
  UniqueFd fd_;
};

// The whole file at `path`; throws FileError with `doing` and the errno.
std::string ReadWholeFile(const std::string& path, const std::string& doing,
                          const FileOps& ops = SystemFileOps());

// Writes all of `data` to `fd`: no code, or the errno of the write that failed.
std::error_code WriteAll(const FileOps& ops, int fd, std::string_view data);

// Makes the names in the directory `dir` durable (a file created, renamed or removed there
// survives a power cut only once its directory is synced): no code, or the errno of the call
// that failed.
std::error_code SyncDirectory(const FileOps& ops, const std::string& dir);

// Flushes the data of the existing file `path` to the disk, without following a link: no
// code, or the errno of the call that failed.
std::error_code SyncFile(const FileOps& ops, const std::string& path);

// Removes the file `path`, or the directory `path` (final slashes or not) with everything in
// it; a link is removed
// itself, never followed, here or anywhere below. No code, or the errno of the call that
// failed (what was removed before it stays removed).
std::error_code RemoveTree(const FileOps& ops, const std::string& path);
// RemoveTree of the entry `name` of the directory open at `dir_fd`.
std::error_code RemoveTreeAt(const FileOps& ops, int dir_fd, const std::string& name);

// What the station asks of a path before it acts on it.
struct PathFacts {
  bool regular = false;  // a regular file
  bool directory = false;
  bool link = false;  // only when asked without following links
  off_t size = 0;
  timespec written{};  // the last change of the data
};
// How a path's last component is taken when it is a symbolic link.
enum class Links { kFollow, kNoFollow };
// The facts of `path`; nullopt, with `error` set, when nothing can be looked at there (the
// code is std::errc::no_such_file_or_directory when nothing is there).
std::optional<PathFacts> LookAt(const FileOps& ops, const std::string& path, Links links,
                                std::error_code& error);
// Whether anything is at `path`, links followed. Throws FileError with `doing` when it cannot
// be told.
bool PathExists(const FileOps& ops, const std::string& path, const std::string& doing);

// The names in the directory `dir`, "." and ".." left out, in the system's order; nullopt,
// with `error` set, when it cannot be read.
std::optional<std::vector<std::string>> ListNames(const FileOps& ops, const std::string& dir,
                                                  std::error_code& error);

// Copies the file `from` to `to`, which is created or emptied and gets the permissions of
// `from`: no code, or the errno of the call that failed (the partial copy is left).
std::error_code CopyFile(const FileOps& ops, const std::string& from, const std::string& to);

// Makes the directory `path` and the missing ones above it: no code, or the errno of the call
// that failed; a directory already there is no failure.
std::error_code MakeDirectories(const FileOps& ops, const std::string& path);

// A file operation failed. code() holds the errno (none when the system gave none, as for a
// file stream that did not open), so that a caller can tell a full disk from a missing file
// without reading the text; what() is what the station was doing and on which file, then
// ": " and the system's reason when there is one (platform/Errors.h).
class FileError : public StationError {
 public:
  FileError(std::error_code code, const std::string& doing)
      : StationError(code, ErrorText(doing, code)) {}
  FileError(int error, const std::string& doing) : FileError(ErrnoCode(error), doing) {}
  // A failure the system gave no errno for.
  explicit FileError(const std::string& doing) : FileError(0, doing) {}
};

// Creates `path`, or empties it, and writes `data` to it. A file it could not write whole is
// removed again. Throws FileError.
void WriteNewFile(const std::string& path, std::string_view data,
                  const FileOps& ops = SystemFileOps());

// Cuts `path` to its first `length` bytes. Throws FileError.
void TruncateFile(const std::string& path, off_t length, const FileOps& ops = SystemFileOps());

// Appends `data` to `path`, creating the file when missing. Throws FileError.
void AppendToFile(const std::string& path, std::string_view data,
                  const FileOps& ops = SystemFileOps());
// AppendToFile on `fd`, opened for appending, which it closes; `path` names it in messages.
void AppendToOpenFile(UniqueFd fd, const std::string& path, std::string_view data,
                      const FileOps& ops);

// How a replaced file is put in place. kDurable: synced, with its directory, before the call
// returns. kAtomic: renamed into place unsynced, for live state rewritten every minute whose
// loss in a power cut costs nothing (a reader still sees the old file or the whole new one
// while the system runs); it saves the disk's flushes, each of which puts the process to sleep.
enum class Durability { kDurable, kAtomic };

// A new file for `path`, written under a temporary name beside it (platform/TempNames.h),
// synced, and put in place by Commit, so that a failure at any point, a full disk or a power
// cut included, leaves whatever `path` held before or the whole new file. Without a Commit the
// temporary file is removed again. Every method throws FileError naming `path`.
// Whether a StagedFile first removes the temporary files dead processes left in its directory
// (a reading of the whole directory). kLeave for a file rewritten many times a minute in a
// directory of thousands of entries whose leftovers the program's start removes anyway.
enum class StaleTemps { kRemove, kLeave };

class StagedFile {
 public:
  // Creates the temporary file, after removing the ones that dead processes left beside it
  // unless `stale` is kLeave.
  explicit StagedFile(std::string path, const FileOps& ops = SystemFileOps(),
                      StaleTemps stale = StaleTemps::kRemove);
  // `name` in `dir` (which must outlive it), every step made relative to the open directory.
  StagedFile(const Dir& dir, const std::string& name);
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  void Write(std::string_view data);
  // Appends the whole contents of the file `source`.
  void CopyFrom(const std::string& source);
  // Flushes the data to the disk and closes the temporary file; nothing is in place yet.
  void Sync();
  // Sync, then renames the temporary file over `path` and syncs the directory, so that the
  // new contents are on the disk under their final name when Commit returns. A directory that
  // cannot be synced fails the commit (the file is in place, but may not survive a power
  // cut): no caller may act on a file that is not durable. With kAtomic nothing is synced.
  void Commit(Durability durability = Durability::kDurable);

 private:
  [[noreturn]] void Abandon(int err);
  // The steps that name the temporary file: in `dir_` when there is one, else by path.
  int RenameIntoPlace();
  int RemoveTemp();
  std::error_code SyncDir(std::string& shown);

  const Dir* dir_ = nullptr;
  std::string name_;  // in `dir_`
  std::string path_;  // as shown, or opened when there is no `dir_`
  std::string temp_;  // a path, or a name in `dir_`
  const FileOps& ops_;
  UniqueFd fd_;
  bool committed_ = false;
};

// Replaces the contents of `path` with `data` through a StagedFile. Throws FileError.
void ReplaceFile(const std::string& path, std::string_view data,
                 const FileOps& ops = SystemFileOps(),
                 Durability durability = Durability::kDurable);

}  // namespace marvolen
