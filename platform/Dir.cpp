#include "platform/Dir.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/FileNames.h"
#include "platform/TempNames.h"

namespace marvolen {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY;

// What a failed open of a directory without following a link meant: the system answers
// ENOTDIR for a link there, which is told apart by looking at the entry itself.
std::error_code DirOpenError(const FileOps& ops, int at, const char* name) {
  const std::error_code error = LastErrno();
  struct stat st {};
  if (error == std::errc::not_a_directory && ops.fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode))
    return std::make_error_code(std::errc::too_many_symbolic_link_levels);
  return error;
}

[[noreturn]] void FailOpen(const std::string& path, std::error_code error) {
  const std::string doing = "No se puede abrir el directorio " + path;
  if (IsLink(error)) throw FileError(error, doing + ": es un enlace simbólico, no se sigue");
  throw FileError(error, doing);
}

}  // namespace

std::optional<Dir> Dir::TryOpen(const std::string& path, Links links, std::error_code& error,
                                const FileOps& ops) {
  // "lines/" would follow a link named "lines": the final slashes go.
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  if (name.empty()) name = ".";
  const int flags = kDirFlags | (links == Links::kRefuse ? O_NOFOLLOW : 0);
  UniqueFd fd = OpenFd(ops, name.c_str(), flags);
  if (!fd.valid()) {
    error = links == Links::kRefuse ? DirOpenError(ops, AT_FDCWD, name.c_str()) : LastErrno();
    return std::nullopt;
  }
  error.clear();
  return Dir(std::move(fd), path.empty() ? "." : name, ops);
}

Dir Dir::Open(const std::string& path, Links links, const FileOps& ops) {
  std::error_code error;
  std::optional<Dir> dir = TryOpen(path, links, error, ops);
  if (!dir) FailOpen(path.empty() ? "." : path, error);
  return std::move(*dir);
}

std::optional<Dir> Dir::TryChild(const std::string& name, std::error_code& error) const {
  UniqueFd child = OpenAtFd(*ops_, fd(), name.c_str(), kDirFlags | O_NOFOLLOW);
  if (!child.valid()) {
    error = DirOpenError(*ops_, fd(), name.c_str());
    return std::nullopt;
  }
  error.clear();
  return Dir(std::move(child), PathOf(name), *ops_);
}

Dir Dir::Child(const std::string& name) const {
  std::error_code error;
  std::optional<Dir> dir = TryChild(name, error);
  if (!dir) FailOpen(PathOf(name), error);
  return std::move(*dir);
}

Dir Dir::MakeChild(const std::string& name, mode_t mode, bool* made) const {
  const bool new_dir = ops_->mkdirat(fd(), name.c_str(), mode) == 0;
  if (!new_dir && !AlreadyExists(LastErrno()))
    throw FileError(errno, "No se puede crear el directorio " + PathOf(name));
  if (made) *made = new_dir;
  return Child(name);
}

std::string Dir::PathOf(std::string_view name) const {
  if (path_ == ".") return std::string(name);
  return path_ + (path_.ends_with('/') ? "" : "/") + std::string(name);
}

FileOwner Dir::Owner() const {
  struct stat st {};
  if (ops_->fstat(fd(), &st) != 0) throw FileError(errno, "No se puede examinar " + path_);
  return {st.st_uid, st.st_gid};
}

std::vector<std::string> Dir::List() const {
  auto names = ListDirectory(*ops_, fd());
  if (!names) throw FileError(errno, "No se puede leer el directorio " + path_);
  return std::move(*names);
}

std::optional<std::string> Dir::FindNoCase(std::string_view name) const {
  const std::string exact(name);
  struct stat st {};
  if (ops_->fstatat(fd(), exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return exact;
  const auto names = ListDirectory(*ops_, fd());
  if (!names) return std::nullopt;
  std::optional<std::string> first;
  for (const std::string& entry : *names) {
    if (EqualsNoCase(entry, name) && (!first || entry < *first)) first = entry;
  }
  return first;
}

std::string Dir::ReadFile(const std::string& name, const std::string& doing) const {
  return FileReader(*this, name, doing).ReadAll();
}

void Dir::Replace(const std::string& name, std::string_view data, Durability durability) const {
  StagedFile file(*this, name);
  file.Write(data);
  file.Commit(durability);
}

void Dir::Append(const std::string& name, std::string_view data) const {
  AppendToOpenFile(OpenFile(name, O_WRONLY | O_CREAT | O_APPEND, 0644), PathOf(name), data, *ops_);
}

std::error_code Dir::Remove(const std::string& name) const {
  return ops_->unlinkat(fd(), name.c_str(), 0) == 0 ? std::error_code() : LastErrno();
}

std::error_code Dir::RemoveDir(const std::string& name) const {
  return ops_->unlinkat(fd(), name.c_str(), AT_REMOVEDIR) == 0 ? std::error_code() : LastErrno();
}

std::error_code Dir::RemoveTree(const std::string& name) const {
  return RemoveTreeAt(*ops_, fd(), name);
}

std::vector<std::string> Dir::RemoveStaleTemps() const {
  return RemoveStaleTempsAt(*ops_, fd());
}

std::error_code Dir::Sync() const {
  return ops_->fsync(fd()) == 0 ? std::error_code() : LastErrno();
}

std::optional<FileLock> Dir::TryLock(const std::string& name, std::error_code& error) const {
  return FileLock::TryAcquireAt(fd(), name, error, *ops_);
}

std::string Dir::LockNote(const std::string& name) const {
  return FileLock::ReadNoteAt(fd(), name, *ops_);
}

UniqueFd Dir::OpenFile(const std::string& name, int flags, mode_t mode) const {
  return OpenAtFd(*ops_, fd(), name.c_str(), flags | O_NOFOLLOW, mode);
}

}  // namespace marvolen
