// A FileOps that makes the real calls and notes each one in order ("write X", "fsync X",
// "rename X Y", "unlink X", "fsync dir D"), so that a test can check the order in which data
// and names reach the disk. A temporary name of X shows as "tmp(X)"; `fail_dir_fsync` makes
// every directory sync fail with EIO.
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
    ops = sys;
    ops.open = [this, &sys](const char* path, int flags, mode_t mode) {
      const int fd = sys.open(path, flags, mode);
      if (fd >= 0) names_[fd] = ((flags & O_DIRECTORY) ? "dir " : "") + Shown(path);
      return fd;
    };
    ops.write = [this, &sys](int fd, const void* data, size_t size) {
      Note("write " + names_[fd]);
      return sys.write(fd, data, size);
    };
    ops.fsync = [this, &sys](int fd) {
      Note("fsync " + names_[fd]);
      if (fail_dir_fsync && names_[fd].starts_with("dir ")) return errno = EIO, -1;
      return sys.fsync(fd);
    };
    ops.rename = [this, &sys](const char* from, const char* to) {
      Note("rename " + Shown(from) + " " + Shown(to));
      return sys.rename(from, to);
    };
    ops.unlink = [this, &sys](const char* path) {
      Note("unlink " + Shown(path));
      return sys.unlink(path);
    };
  }

  // "tmp(X)" for a temporary name of X (".X.<pid>.<serial>.tmp"), else the last component.
  static std::string Shown(const std::filesystem::path& path) {
    std::string name = path.lexically_normal().filename().string();
    if (name.empty()) name = path.lexically_normal().parent_path().filename().string();
    if (name.size() < 6 || name.front() != '.' || !name.ends_with(".tmp")) return name;
    name = name.substr(1, name.size() - 5);  // X.<pid>.<serial>
    name.resize(name.rfind('.'));
    return "tmp(" + name.substr(0, name.rfind('.')) + ")";
  }

  void Note(std::string line) { log.push_back(std::move(line)); }

  FileOps ops;
  std::vector<std::string> log;
  bool fail_dir_fsync = false;

 private:
  std::map<int, std::string> names_;
};

}  // namespace marvolen::testing
