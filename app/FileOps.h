// The few file system calls the station makes when it writes its own files (the configuration
// record and the activity log), behind a seam so that tests can make any of them fail: the
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
};

// The real system calls.
const FileOps& SystemFileOps();

// A file operation failed; the message names the file and the system's reason.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends `data` to `path`, creating the file when missing. Throws FileError.
void AppendToFile(const std::string& path, std::string_view data,
                  const FileOps& ops = SystemFileOps());

// Replaces the contents of `path` with `data` so that a failure at any point leaves the old
// file as it was: the data goes to a temporary file beside it, is synced, and is renamed over
// the old one. Throws FileError; the temporary file is removed on failure.
void ReplaceFile(const std::string& path, std::string_view data,
                 const FileOps& ops = SystemFileOps());

}  // namespace marvolen
