#include "platform/FileOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/Dir.h"
#include "platform/TempNames.h"

namespace marvolen {

namespace {

int RenameNoReplaceAt(int dir_fd, const char* from, const char* to) {
  if (::renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without the no-replace rename: a hard link refuses an existing name too.
  if (::linkat(dir_fd, from, dir_fd, to, 0) == 0) {
    // The file is in place; a temporary name left behind would be harmless.
    ::unlinkat(dir_fd, from, 0);
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return -1;
  // And those without hard links: check, then rename; the window between is the best there is.
  struct stat st {};
  if (::fstatat(dir_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(dir_fd, from, dir_fd, to);
}

int OpenTemporary() {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return -1;
  const int fd = ::dup(::fileno(f));
  std::fclose(f);
  return fd;
}

FileOps MakeSystemFileOps() {
  FileOps ops;
  ops.open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); };
  ops.openat = [](int dir_fd, const char* name, int flags, mode_t mode) {
    return ::openat(dir_fd, name, flags, mode);
  };
  ops.open_temporary = OpenTemporary;
  ops.close = [](int fd) { return ::close(fd); };
  ops.dup = [](int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); };
  ops.read = [](int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); };
  ops.pread = [](int fd, void* buffer, size_t size, off_t offset) {
    return ::pread(fd, buffer, size, offset);
  };
  ops.write = [](int fd, const void* data, size_t size) { return ::write(fd, data, size); };
  ops.pwrite = [](int fd, const void* data, size_t size, off_t offset) {
    return ::pwrite(fd, data, size, offset);
  };
  ops.lseek = [](int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); };
  ops.stat = [](const char* path, struct stat* st) { return ::stat(path, st); };
  ops.fstat = [](int fd, struct stat* st) { return ::fstat(fd, st); };
  ops.fstatat = [](int dir_fd, const char* name, struct stat* st, int flags) {
    return ::fstatat(dir_fd, name, st, flags);
  };
  ops.fstatvfs = [](int fd, struct statvfs* st) { return ::fstatvfs(fd, st); };
  ops.ftruncate = [](int fd, off_t length) { return ::ftruncate(fd, length); };
  ops.truncate = [](const char* path, off_t length) { return ::truncate(path, length); };
  ops.fsync = [](int fd) { return ::fsync(fd); };
  ops.syncfs = [](int fd) { return ::syncfs(fd); };
  ops.fchmod = [](int fd, mode_t mode) { return ::fchmod(fd, mode); };
  ops.futimens = [](int fd, const timespec times[2]) { return ::futimens(fd, times); };
  ops.rename = [](const char* from, const char* to) { return ::rename(from, to); };
  ops.rename_noreplace = [](const char* from, const char* to) {
    return RenameNoReplaceAt(AT_FDCWD, from, to);
  };
  ops.renameat = [](int from_dir, const char* from, int to_dir, const char* to) {
    return ::renameat(from_dir, from, to_dir, to);
  };
  ops.renameat_noreplace = RenameNoReplaceAt;
  ops.unlink = [](const char* path) { return ::unlink(path); };
  ops.unlinkat = [](int dir_fd, const char* name, int flags) {
    return ::unlinkat(dir_fd, name, flags);
  };
  ops.mkdirat = [](int dir_fd, const char* name, mode_t mode) {
    return ::mkdirat(dir_fd, name, mode);
  };
  ops.ioctl = [](int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
  };
  ops.flock = [](int fd, int operation) { return ::flock(fd, operation); };
  ops.fcntl_lock = [](int fd, int command, struct flock* lock) {
    return ::fcntl(fd, command, lock);
  };
  ops.tcgetattr = [](int fd, termios* settings) { return ::tcgetattr(fd, settings); };
  ops.tcsetattr = [](int fd, int when, const termios* settings) {
    return ::tcsetattr(fd, when, settings);
  };
  ops.tcflush = [](int fd, int queue) { return ::tcflush(fd, queue); };
  ops.tcflow = [](int fd, int action) { return ::tcflow(fd, action); };
  ops.poll = [](pollfd* fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
  };
  return ops;
}

// Moves `size` bytes at `buffer` in steps of `step(done)`, which returns what one call moved.
template <typename Step>
ssize_t Whole(size_t size, bool is_read, Step step) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = step(done);
    if (n < 0) return -1;
    if (n == 0) {
      if (is_read) break;
      errno = EIO;  // a write that makes no progress would otherwise loop for ever
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

const FileOps& SystemFileOps() {
  static const FileOps ops = MakeSystemFileOps();
  return ops;
}

UniqueFd AdoptFd(const FileOps& ops, int fd) {
  return UniqueFd(fd, [&ops](int f) { return ops.close(f); });
}

UniqueFd OpenFd(const FileOps& ops, const char* path, int flags, mode_t mode) {
  return AdoptFd(ops, ops.open(path, flags | O_CLOEXEC, mode));
}

UniqueFd OpenAtFd(const FileOps& ops, int dir_fd, const char* name, int flags, mode_t mode) {
  return AdoptFd(ops, ops.openat(dir_fd, name, flags | O_CLOEXEC, mode));
}

ssize_t ReadFull(const FileOps& ops, int fd, void* buffer, size_t size) {
  char* to = static_cast<char*>(buffer);
  return Whole(size, true, [&](size_t done) { return ops.read(fd, to + done, size - done); });
}

ssize_t PReadFull(const FileOps& ops, int fd, void* buffer, size_t size, off_t offset) {
  char* to = static_cast<char*>(buffer);
  return Whole(size, true, [&](size_t done) {
    return ops.pread(fd, to + done, size - done, offset + static_cast<off_t>(done));
  });
}

FileReader::FileReader(const std::string& path, std::string doing, const FileOps& ops)
    // Without waiting: a FIFO in the file's place would hold the caller until someone writes.
    : FileReader(OpenFd(ops, path.c_str(), O_RDONLY | O_NONBLOCK), std::move(doing), ops) {}

FileReader::FileReader(const Dir& dir, const std::string& name, std::string doing)
    : FileReader(dir.OpenFile(name, O_RDONLY | O_NONBLOCK), std::move(doing), dir.ops()) {}

FileReader::FileReader(UniqueFd fd, std::string doing, const FileOps& ops)
    : ops_(ops), doing_(std::move(doing)), fd_(std::move(fd)) {
  if (!fd_.valid()) throw FileError(errno, doing_);
  struct stat st {};
  if (ops_.fstat(fd_.get(), &st) != 0) throw FileError(errno, doing_);
  if (!S_ISREG(st.st_mode))
    throw FileError(StationRefusal::kNotRegularFile, doing_ + ": no es un archivo regular");
}

size_t FileReader::Checked(ssize_t got) {
  if (got < 0) throw FileError(errno, doing_);
  return static_cast<size_t>(got);
}

size_t FileReader::Read(char* buffer, size_t size) {
  return Checked(ReadFull(ops_, fd_.get(), buffer, size));
}

size_t FileReader::ReadAt(char* buffer, size_t size, off_t offset) {
  return Checked(PReadFull(ops_, fd_.get(), buffer, size, offset));
}

std::string FileReader::ReadAll() {
  std::string data;
  char piece[16 * 1024];
  for (size_t got; (got = Read(piece, sizeof piece)) > 0;) data.append(piece, got);
  return data;
}

std::string ReadWholeFile(const std::string& path, const std::string& doing, const FileOps& ops) {
  return FileReader(path, doing, ops).ReadAll();
}

ssize_t WriteFull(const FileOps& ops, int fd, const void* data, size_t size) {
  const char* from = static_cast<const char*>(data);
  return Whole(size, false, [&](size_t done) { return ops.write(fd, from + done, size - done); });
}

ssize_t PWriteFull(const FileOps& ops, int fd, const void* data, size_t size, off_t offset) {
  const char* from = static_cast<const char*>(data);
  return Whole(size, false, [&](size_t done) {
    return ops.pwrite(fd, from + done, size - done, offset + static_cast<off_t>(done));
  });
}

std::error_code WriteAll(const FileOps& ops, int fd, std::string_view data) {
  return WriteFull(ops, fd, data.data(), data.size()) < 0 ? LastErrno() : std::error_code();
}

namespace {

constexpr size_t kCopyChunk = 64 * 1024;

[[noreturn]] void Fail(const std::string& path, std::error_code err) {
  throw FileError(err, "No se puede escribir el archivo " + path);
}

[[noreturn]] void Fail(const std::string& path, int err) {
  Fail(path, ErrnoCode(err));
}

}  // namespace

std::optional<std::vector<std::string>> ListDirectory(const FileOps& ops, int dir_fd) {
  // readdir takes over the descriptor it is given and moves its offset: it gets one of its own.
  UniqueFd own = OpenAtFd(ops, dir_fd, ".", O_RDONLY | O_DIRECTORY);
  if (!own.valid()) return std::nullopt;
  DIR* dir = ::fdopendir(own.get());
  if (dir == nullptr) return std::nullopt;
  own.release();
  std::vector<std::string> names;
  while (const dirent* d = ::readdir(dir)) {
    const std::string_view name = d->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

std::error_code SyncDirectory(const FileOps& ops, const std::string& dir) {
  const UniqueFd fd = OpenFd(ops, dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (!fd.valid()) return LastErrno();
  return ops.fsync(fd.get()) == 0 ? std::error_code() : LastErrno();
}

std::error_code SyncFile(const FileOps& ops, const std::string& path) {
  const UniqueFd fd = OpenFd(ops, path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (!fd.valid()) return LastErrno();
  return ops.fsync(fd.get()) == 0 ? std::error_code() : LastErrno();
}

std::optional<PathFacts> LookAt(const FileOps& ops, const std::string& path, Links links,
                                std::error_code& error) {
  struct stat st {};
  const int flags = links == Links::kNoFollow ? AT_SYMLINK_NOFOLLOW : 0;
  if (ops.fstatat(AT_FDCWD, path.c_str(), &st, flags) != 0) {
    error = LastErrno();
    return std::nullopt;
  }
  error.clear();
  PathFacts facts;
  facts.regular = S_ISREG(st.st_mode);
  facts.directory = S_ISDIR(st.st_mode);
  facts.link = S_ISLNK(st.st_mode);
  facts.size = st.st_size;
  facts.written = st.st_mtim;
  return facts;
}

bool PathExists(const FileOps& ops, const std::string& path, const std::string& doing) {
  std::error_code error;
  if (LookAt(ops, path, Links::kFollow, error)) return true;
  // A component that is no directory leaves nothing there either.
  if (IsNotFound(error) || error == std::errc::not_a_directory) return false;
  throw FileError(error, doing);
}

std::optional<std::vector<std::string>> ListNames(const FileOps& ops, const std::string& dir,
                                                  std::error_code& error) {
  const UniqueFd fd = OpenFd(ops, dir.c_str(), O_RDONLY | O_DIRECTORY);
  auto names = fd.valid() ? ListDirectory(ops, fd.get()) : std::nullopt;
  error = names ? std::error_code() : LastErrno();
  return names;
}

std::error_code CopyFile(const FileOps& ops, const std::string& from, const std::string& to) {
  const UniqueFd in = OpenFd(ops, from.c_str(), O_RDONLY);
  struct stat st {};
  if (!in.valid() || ops.fstat(in.get(), &st) != 0) return LastErrno();
  const UniqueFd out = OpenFd(ops, to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, S_IWUSR);
  if (!out.valid()) return LastErrno();
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t got = ReadFull(ops, in.get(), buffer.data(), buffer.size());
    if (got < 0) return LastErrno();
    if (const std::error_code err =
            WriteAll(ops, out.get(), std::string_view(buffer.data(), static_cast<size_t>(got))))
      return err;
    if (static_cast<size_t>(got) < buffer.size()) break;
  }
  return ops.fchmod(out.get(), st.st_mode & 07777) == 0 ? std::error_code() : LastErrno();
}

std::error_code MakeDirectories(const FileOps& ops, const std::string& path) {
  std::string made;
  size_t at = 0;
  while (at < path.size()) {
    const size_t end = std::min(path.find('/', at + 1), path.size());
    made = path.substr(0, end);
    at = end;
    if (made.empty() || made.back() == '/') continue;
    if (ops.mkdirat(AT_FDCWD, made.c_str(), 0777) == 0 || errno == EEXIST) continue;
    return LastErrno();
  }
  struct stat st {};
  if (ops.stat(path.c_str(), &st) != 0) return LastErrno();
  return S_ISDIR(st.st_mode) ? std::error_code() : std::make_error_code(std::errc::not_a_directory);
}

std::error_code RemoveTreeAt(const FileOps& ops, int dir_fd, const std::string& name) {
  struct stat st {};
  if (ops.fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastErrno();
  if (S_ISDIR(st.st_mode)) {
    const UniqueFd sub = OpenAtFd(ops, dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!sub.valid()) return LastErrno();
    const auto names = ListDirectory(ops, sub.get());
    if (!names) return LastErrno();
    for (const std::string& inner : *names) {
      if (const std::error_code err = RemoveTreeAt(ops, sub.get(), inner)) return err;
    }
  }
  const int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
  return ops.unlinkat(dir_fd, name.c_str(), flags) == 0 ? std::error_code() : LastErrno();
}

std::error_code RemoveTree(const FileOps& ops, const std::string& path) {
  // A directory is often named with its final slash ("calls.summary/"), which would leave an
  // empty last name: the directory it names is removed all the same. "/" alone is refused.
  const std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return std::make_error_code(std::errc::invalid_argument);
  const std::filesystem::path target(path.substr(0, end + 1));
  const std::filesystem::path parent =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  const UniqueFd dir = OpenFd(ops, parent.c_str(), O_RDONLY | O_DIRECTORY);
  if (!dir.valid()) return LastErrno();
  return RemoveTreeAt(ops, dir.get(), target.filename().string());
}

void TruncateFile(const std::string& path, off_t length, const FileOps& ops) {
  if (ops.truncate(path.c_str(), length) != 0) {
    throw FileError(errno, "No se puede recortar el archivo " + path);
  }
}

void WriteNewFile(const std::string& path, std::string_view data, const FileOps& ops) {
  UniqueFd fd = OpenFd(ops, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!fd.valid()) Fail(path, errno);
  const std::error_code err = WriteAll(ops, fd.get(), data);
  const int close_rc = fd.Close();
  const int close_err = errno;
  if (!err && close_rc == 0) return;
  ops.unlink(path.c_str());
  Fail(path, err ? err : ErrnoCode(close_err));
}

void AppendToFile(const std::string& path, std::string_view data, const FileOps& ops) {
  AppendToOpenFile(OpenFd(ops, path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), path, data, ops);
}

void AppendToOpenFile(UniqueFd fd, const std::string& path, std::string_view data,
                      const FileOps& ops) {
  if (!fd.valid()) Fail(path, errno);
  const std::error_code err = WriteAll(ops, fd.get(), data);
  const int close_rc = fd.Close();
  const int close_err = errno;
  if (err) Fail(path, err);
  if (close_rc != 0) Fail(path, close_err);
}

StagedFile::StagedFile(std::string path, const FileOps& ops, StaleTemps stale)
    : path_(std::move(path)), ops_(ops) {
  const std::filesystem::path final_path(path_);
  const std::filesystem::path dir =
      final_path.has_parent_path() ? final_path.parent_path() : std::filesystem::path(".");
  if (stale == StaleTemps::kRemove) RemoveStaleTemps(dir, ops_);
  temp_ = (dir / TempName(final_path.filename().string())).string();
  fd_ = OpenFd(ops_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!fd_.valid()) Fail(path_, errno);
}

StagedFile::StagedFile(const Dir& dir, const std::string& name)
    : dir_(&dir), name_(name), path_(dir.PathOf(name)), ops_(dir.ops()) {
  dir.RemoveStaleTemps();
  temp_ = TempName(name);
  fd_ = dir.OpenFile(temp_, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!fd_.valid()) Fail(path_, errno);
}

StagedFile::~StagedFile() {
  fd_.Close();
  if (!committed_) RemoveTemp();
}

int StagedFile::RenameIntoPlace() {
  if (dir_) return ops_.renameat(dir_->fd(), temp_.c_str(), dir_->fd(), name_.c_str());
  return ops_.rename(temp_.c_str(), path_.c_str());
}

int StagedFile::RemoveTemp() {
  return dir_ ? ops_.unlinkat(dir_->fd(), temp_.c_str(), 0) : ops_.unlink(temp_.c_str());
}

std::error_code StagedFile::SyncDir(std::string& shown) {
  if (dir_) {
    shown = dir_->Path();
    return dir_->Sync();
  }
  const std::filesystem::path dir = std::filesystem::path(path_).parent_path();
  shown = dir.empty() ? std::string(".") : dir.string();
  return SyncDirectory(ops_, dir.string());
}

void StagedFile::Abandon(int err) {
  fd_.Close();
  Fail(path_, err);
}

void StagedFile::Write(std::string_view data) {
  if (!fd_.valid()) Abandon(EBADF);
  if (const std::error_code err = WriteAll(ops_, fd_.get(), data)) Abandon(err.value());
}

void StagedFile::CopyFrom(const std::string& source) {
  FileReader in(source, "No se puede leer el archivo " + source, ops_);
  std::vector<char> buffer(kCopyChunk);
  for (size_t got; (got = in.Read(buffer.data(), buffer.size())) > 0;)
    Write(std::string_view(buffer.data(), got));
}

void StagedFile::Sync() {
  if (!fd_.valid()) return;
  if (ops_.fsync(fd_.get()) != 0) Abandon(errno);
  if (fd_.Close() != 0) Fail(path_, errno);
}

void StagedFile::Commit(Durability durability) {
  if (durability == Durability::kDurable) {
    Sync();
  } else if (fd_.valid() && fd_.Close() != 0) {
    Fail(path_, errno);
  }
  if (RenameIntoPlace() != 0) Fail(path_, errno);
  committed_ = true;
  if (durability == Durability::kAtomic) return;
  std::string dir;
  if (const std::error_code err = SyncDir(dir)) {
    throw FileError(
        err, "No se puede asegurar en el disco el archivo " + path_ + " (directorio " + dir + ")");
  }
}

void ReplaceFile(const std::string& path, std::string_view data, const FileOps& ops,
                 Durability durability) {
  StagedFile file(path, ops);
  file.Write(data);
  file.Commit(durability);
}

}  // namespace marvolen
