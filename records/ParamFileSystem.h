// The system calls the office parameter file makes, behind one seam so that tests can make
// any of them fail (a full disk, an I/O error, a rival creating the file) even when they run
// as root. Each call returns what its POSIX namesake returns and leaves errno set on failure.
#pragma once

#include <string>

#include <sys/types.h>

namespace marvolen {

class ParamFileSystem {
 public:
  virtual ~ParamFileSystem() = default;
  virtual int Open(const std::string& path, int flags, mode_t mode);
  virtual ssize_t PRead(int fd, void* buf, size_t n, off_t offset);
  virtual ssize_t PWrite(int fd, const void* buf, size_t n, off_t offset);
  virtual int FSync(int fd);
  virtual int FTruncate(int fd, off_t length);
  // The file's size in bytes through `size`.
  virtual int FSize(int fd, off_t* size);
  virtual int Close(int fd);
  // Renames `from` to `to` only when nothing is at `to` (EEXIST otherwise).
  virtual int RenameNoReplace(const std::string& from, const std::string& to);
  virtual int Unlink(const std::string& path);

  // The plain system calls.
  static ParamFileSystem& Posix();
};

}  // namespace marvolen
