// The few file system calls the station makes when it writes its files (the configuration
// record, the activity log, the received archive, its trimming and its members, the filed
// traffic), behind a seam so that tests can make any of them fail, a full disk included: the
// tests run as root, where a read-only file or directory cannot be arranged with chmod.
#pragma once

#include <sys/types.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace marvolen {

struct FileOps {
  std::function<int(const char* path, int flags, mode_t mode)> open;
  std::function<ssize_t(int fd, const void* data, size_t size)> write;
  std::function<int(int fd)> fsync;
  std::function<int(int fd)> close;
  std::function<int(const char* from, const char* to)> rename;
  std::function<int(const char* path)> unlink;
  std::function<int(const char* path, off_t length)> truncate;
};

// The real system calls.
const FileOps& SystemFileOps();

// A file operation failed; the message names the file and the system's reason.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes all of `data` to `fd`, retrying interrupted and partial writes: 0, or the errno of
// the write that failed.
int WriteAll(const FileOps& ops, int fd, std::string_view data);

// Makes the names in the directory `dir` durable (a file created, renamed or removed there
// survives a power cut only once its directory is synced): 0, or the errno of the call that
// failed.
int SyncDirectory(const FileOps& ops, const std::string& dir);

// Flushes the data of the existing file `path` to the disk, without following a link: 0, or
// the errno of the call that failed.
int SyncFile(const FileOps& ops, const std::string& path);

// Creates `path`, or empties it, and writes `data` to it. A file it could not write whole is
// removed again. Throws FileError.
void WriteNewFile(const std::string& path, std::string_view data,
                  const FileOps& ops = SystemFileOps());

// Cuts `path` to its first `length` bytes. Throws FileError.
void TruncateFile(const std::string& path, off_t length, const FileOps& ops = SystemFileOps());

// Appends `data` to `path`, creating the file when missing. Throws FileError.
void AppendToFile(const std::string& path, std::string_view data,
                  const FileOps& ops = SystemFileOps());

// A new file for `path`, written under a temporary name beside it (platform/TempNames.h),
// synced, and put in place by Commit, so that a failure at any point, a full disk or a power
// cut included, leaves whatever `path` held before or the whole new file. Without a Commit the
// temporary file is removed again. Every method throws FileError naming `path`.
class StagedFile {
 public:
  // Creates the temporary file, after removing the ones that dead processes left beside it.
  explicit StagedFile(std::string path, const FileOps& ops = SystemFileOps());
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
  // cut): no caller may act on a file that is not durable.
  void Commit();

 private:
  [[noreturn]] void Abandon(int err);

  std::string path_;
  std::string temp_;
  const FileOps& ops_;
  int fd_ = -1;
  bool committed_ = false;
};

// Replaces the contents of `path` with `data` through a StagedFile. Throws FileError.
void ReplaceFile(const std::string& path, std::string_view data,
                 const FileOps& ops = SystemFileOps());

}  // namespace marvolen
