// A directory held open. Everything done in it names its entries relative to the handle,
// never by a path resolved again, so that a directory renamed, or replaced by a symbolic link,
// after it was opened cannot send a later step elsewhere: what was checked (its owner, that it
// is no link) is what is written into. Entries are never reached through a link either: a
// file, a lock or a directory opened in a Dir that turns out to be a link is refused, as a
// link put there by whoever can write the directory could aim the station at any file.
//
// Failures are thrown as FileError (platform/FileOps.h), or given back as a code for the
// operations a caller often survives; a caller asks the code its meaning (IsNotFound, IsLink,
// IsDiskFull, AlreadyExists, IsTaken in platform/Errors.h), never errno.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/FileLock.h"
#include "platform/FileOps.h"
#include "platform/RunAs.h"

namespace marvolen {

class Dir {
 public:
  // Whether the last name of a path opened by Open may be a link: the home and the working
  // directory are the operator's choice, links included; a directory inside them is not.
  enum class Links { kFollow, kRefuse };

  // The directory `path` ("" is the current one; final slashes do not count). Throws
  // FileError ("No se puede abrir el directorio PATH: ..."), whose code IsLink for a link
  // refused.
  static Dir Open(const std::string& path, Links links, const FileOps& ops = SystemFileOps());
  // As Open; nullopt with `error` set instead of throwing.
  static std::optional<Dir> TryOpen(const std::string& path, Links links, std::error_code& error,
                                    const FileOps& ops = SystemFileOps());

  // The directory `name` in this one, never through a link. nullopt with `error` set
  // (IsLink for a link, IsNotFound when missing).
  std::optional<Dir> TryChild(const std::string& name, std::error_code& error) const;
  // As TryChild; throws FileError.
  Dir Child(const std::string& name) const;
  // As Child, made first (with `mode`, less the umask) when missing; `made` tells whether this
  // call made it.
  Dir MakeChild(const std::string& name, mode_t mode = 0755, bool* made = nullptr) const;

  // The path the directory was opened by (or its parent's and its name), for messages only.
  const std::string& Path() const { return path_; }
  // `name` in it, for messages only.
  std::string PathOf(std::string_view name) const;

  // Whose the directory that was opened is.
  FileOwner Owner() const;
  // The names in it, "." and ".." left out, in the system's order. Throws FileError.
  std::vector<std::string> List() const;
  // The entry whose name equals `name` ignoring letter case (platform/FileNames.h): the exact
  // name when there is one, else the first match in name order; nullopt when there is none or
  // the directory cannot be read.
  std::optional<std::string> FindNoCase(std::string_view name) const;

  // The whole regular file `name`; a link, a FIFO or a device is refused unread. Throws
  // FileError with `doing`.
  std::string ReadFile(const std::string& name, const std::string& doing) const;
  // Replaces `name` with `data` through a StagedFile in this directory. Throws FileError.
  void Replace(const std::string& name, std::string_view data,
               Durability durability = Durability::kDurable) const;
  // Appends the record `data` to `name`, creating it when missing. Throws FileError.
  void Append(const std::string& name, std::string_view data) const;

  // Removes the file or link `name`; no code, or the errno.
  std::error_code Remove(const std::string& name) const;
  // Removes the empty directory `name`; no code, or the errno.
  std::error_code RemoveDir(const std::string& name) const;
  // Removes `name` and, for a directory, everything in it, never following a link.
  std::error_code RemoveTree(const std::string& name) const;
  // RemoveStaleTemps (platform/TempNames.h) here; gives back the names removed.
  std::vector<std::string> RemoveStaleTemps() const;
  // Makes the names in it durable; no code, or the errno.
  std::error_code Sync() const;

  // FileLock::TryAcquire on `name` in it.
  std::optional<FileLock> TryLock(const std::string& name, std::error_code& error) const;
  // FileLock::ReadNote of `name` in it.
  std::string LockNote(const std::string& name) const;

  // `name` opened with `flags` and O_NOFOLLOW, O_CLOEXEC added: for platform/'s own helpers.
  UniqueFd OpenFile(const std::string& name, int flags, mode_t mode = 0) const;
  int fd() const { return fd_.get(); }
  const FileOps& ops() const { return *ops_; }

 private:
  Dir(UniqueFd fd, std::string path, const FileOps& ops)
      : fd_(std::move(fd)), path_(std::move(path)), ops_(&ops) {}

  UniqueFd fd_;
  std::string path_;
  const FileOps* ops_;
};

}  // namespace marvolen
