// What one extraction run shares between its entries: the names of the directories it
// writes into, and the file systems it has to flush at its end.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "zip/ArchiveIo.h"

namespace marvolen {

// Every new file is looked up without regard to letter case before it is created; reading
// its whole directory for each one made a run quadratic in the number of entries. Here each
// directory is read once, the first time a lookup needs it, and the run keeps its copy up to
// date as it creates and deletes.
class DirectoryNames {
 public:
  explicit DirectoryNames(const ArchiveIo& io) : io_(io) {}

  // The entry of the directory `key` (any text that names it for the run, e.g. its path
  // below the base directory), open as `dir_fd`, called `name`, or else the first in name
  // order that differs from it only in letter case; nullopt when there is none or the
  // directory cannot be read.
  std::optional<std::string> Find(const std::string& key, int dir_fd, const std::string& name);
  // The run created or deleted `name` in the directory `key`.
  void Added(const std::string& key, const std::string& name);
  void Removed(const std::string& key, const std::string& name);

 private:
  // Folded name -> the names on the disk that fold to it, in name order.
  using Listing = std::unordered_map<std::string, std::set<std::string>>;

  Listing* Load(const std::string& key, int dir_fd);

  const ArchiveIo& io_;
  std::unordered_map<std::string, Listing> listings_;
};

// Flushing each target to the disk as it is closed costs a journal commit per file, which
// made a run of thousands of small files take minutes. The run instead notes the file
// systems its targets went to and flushes each of them once, when it ends: by the time the
// run returns, every target is on the disk, as before.
class FileSystemFlush {
 public:
  explicit FileSystemFlush(const ArchiveIo& io) : io_(io) {}
  ~FileSystemFlush();
  FileSystemFlush(const FileSystemFlush&) = delete;
  FileSystemFlush& operator=(const FileSystemFlush&) = delete;

  // A target was created in the directory open as `dir_fd`.
  void Note(int dir_fd);
  // Flushes every noted file system.
  void Flush() noexcept;

 private:
  const ArchiveIo& io_;
  std::map<dev_t, int> file_systems_;  // one directory descriptor per file system
};

struct ExtractionRun {
  explicit ExtractionRun(const ArchiveIo& io) : names(io), flush(io) {}

  int base_fd = -1;
  std::string base_path;
  DirectoryNames names;
  FileSystemFlush flush;
};

}  // namespace marvolen
