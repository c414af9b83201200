// A FileOps that does the real calls and writes down each one, in order, as a short line
// ("write X", "fsync X", "rename X Y", "fsync dir D"), so that a test can check the order in
// which data and names reach the disk. Temporary names are shown as "tmp(X)" for the final
// name X; directories by their last component. `fail_dir_fsync` makes every directory sync fail
// with EIO.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/FileOps.h"

namespace marvolen::testing {

class RecordingFileOps {
 public:
  RecordingFileOps() {
    const FileOps& sys = SystemFileOps();
    ops.open = [this, &sys](const char* path, int flags, mode_t mode) {
      const int fd = sys.open(path, flags, mode);
      if (fd >= 0) {
        names_[fd] = (flags & O_DIRECTORY) ? "dir " + Shown(path) : Shown(path);
        dirs_[fd] = (flags & O_DIRECTORY) != 0;
      }
      return fd;
    };
    ops.write = [this, &sys](int fd, const void* data, size_t size) {
      Note("write " + names_[fd]);
      return sys.write(fd, data, size);
    };
    ops.fsync = [this, &sys](int fd) {
      Note("fsync " + names_[fd]);
      if (dirs_[fd] && fail_dir_fsync) return errno = EIO, -1;
      return sys.fsync(fd);
    };
    ops.close = sys.close;
    ops.rename = [this, &sys](const char* from, const char* to) {
      Note("rename " + Shown(from) + " " + Shown(to));
      return sys.rename(from, to);
    };
    ops.unlink = [this, &sys](const char* path) {
      Note("unlink " + Shown(path));
      return sys.unlink(path);
    };
    ops.truncate = sys.truncate;
  }

  // "tmp(X)" for a temporary name of X (".X.<pid>.<serial>.tmp"), else the last component.
  static std::string Shown(const std::filesystem::path& path) {
    std::string name = std::filesystem::path(path).lexically_normal().filename().string();
    if (name.empty()) name = std::filesystem::path(path).parent_path().filename().string();
    if (name.size() > 5 && name.front() == '.' && name.ends_with(".tmp")) {
      name = name.substr(1, name.size() - 5);                 // X.<pid>.<serial>
      name = name.substr(0, name.rfind('.'));                 // X.<pid>
      return "tmp(" + name.substr(0, name.rfind('.')) + ")";  // X
    }
    return name;
  }

  // Lines are appended here, interleaved with whatever else the test notes.
  void Note(std::string line) { log.push_back(std::move(line)); }

  FileOps ops;
  std::vector<std::string> log;
  bool fail_dir_fsync = false;

 private:
  std::map<int, std::string> names_;
  std::map<int, bool> dirs_;
};

}  // namespace marvolen::testing
