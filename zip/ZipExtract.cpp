// Unpacking: choosing the entries a mask selects and writing each below the base directory.
// Targets are reached through directory descriptors opened one component at a time without
// following symbolic links, so neither an entry name nor a link already on the disk can
// send a file outside the base directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "platform/DosTime.h"
#include "platform/FileNames.h"
#include "zip/ArchivePaths.h"
#include "zip/Codec.h"
#include "zip/EntryNames.h"
#include "zip/ExtractionRun.h"
#include "zip/ZipArchiverImpl.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSelectableAttributes = 0x02 | 0x04 | 0x08 | 0x10;

bool MatchesArchiveName(std::string_view name, std::string_view mask) {
  return mask == "*.*" || MatchesMask(name, mask);
}

std::string LastComponent(std::string_view name) {
  const size_t cut = name.rfind('/');
  return std::string(cut == std::string_view::npos ? name : name.substr(cut + 1));
}

std::string DirectoryPart(std::string_view name) {
  const size_t cut = name.rfind('/');
  return cut == std::string_view::npos ? std::string() : std::string(name.substr(0, cut));
}

}  // namespace

void TZipArchiver::Impl::SelectEntries(std::string_view mask, uint32_t attr_mask,
                                       std::string_view exclude) {
  const std::string mask_dir = DirectoryPart(mask);
  for (EntryRecord& e : entries_) {
    e.Selected = false;
    std::string name = e.StoredName;
    if (!name.empty() && name.back() == '/') name.pop_back();
    if (!owner_.Options().Recurse && !EqualsNoCase(DirectoryPart(name), mask_dir)) continue;
    if (!MatchesArchiveName(name, mask) && !MatchesArchiveName(LastComponent(name), mask)) {
      continue;
    }
    if (!exclude.empty() &&
        (MatchesArchiveName(name, exclude) || MatchesArchiveName(LastComponent(name), exclude))) {
      continue;
    }
    if ((e.header.external_attributes & kSelectableAttributes & ~attr_mask) != 0) continue;
    e.Selected = true;
  }
}

void TZipArchiver::Impl::RunSelected(TArchiveOperation operation, std::string_view mask,
                                     uint32_t attr_mask, std::string_view exclude) {
  RequireOpen();
  if (batch_depth_ > 0) throw Error(kErrBatchOpen);
  if (!read_only_) ComputeDataLimits(false);
  SelectEntries(mask, attr_mask, exclude);
  UniqueFd base = ArchiveFd(io_, -1);
  ExtractionRun run(io_);
  if (operation == aoExtract) {
    run.base_path = ResolveArchivePath(owner_.BaseDir().empty() ? "." : owner_.BaseDir());
    base.reset(io_.Open(run.base_path.c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (base.get() < 0 && errno == ENOENT && owner_.Options().CreateDirs) {
      std::error_code ec;
      fs::create_directories(run.base_path, ec);
      base.reset(io_.Open(run.base_path.c_str(), O_RDONLY | O_DIRECTORY, 0));
    }
    if (base.get() < 0) throw SystemError(kErrCreateDirectory, run.base_path);
    run.base_fd = base.get();
  }
  // Whatever ends the run, what it wrote reaches the disk before it returns.
  struct FlushAtEnd {
    FileSystemFlush& flush;
    ~FlushAtEnd() { flush.Flush(); }
  } flush_at_end{run.flush};
  for (EntryRecord& entry : entries_) {
    if (!entry.Selected) continue;
    for (;;) {
      try {
        if (operation == aoExtract) {
          ExtractEntry(entry, run);
        } else {
          TestEntry(entry);
        }
        break;
      } catch (const EArchiveError& error) {
        const TArchiveAction action = owner_.ReportFailure(entry.StoredName, operation, error);
        if (action == faRetry) continue;
        if (action == faAbort) throw;
        break;
      }
    }
  }
}

uint64_t TZipArchiver::Impl::EntryDataOffset(const EntryRecord& entry) {
  unsigned char buffer[kLocalHeaderSize];
  const uint64_t offset = entry.header.local_header_offset;
  if (io_.PRead(fd_, buffer, sizeof buffer, static_cast<off_t>(offset)) !=
      static_cast<ssize_t>(sizeof buffer)) {
    throw Error(kErrInvalidArchive);
  }
  const auto local = ParseLocalHeader(buffer, sizeof buffer);
  if (!local) throw Error(kErrInvalidArchive);
  const uint64_t data = offset + kLocalHeaderSize + local->name_length + local->extra_length;
  if (data > entry.data_limit || entry.data_limit - data < entry.header.compressed_size) {
    throw Error(kErrInvalidArchive);
  }
  return data;
}

DecodeResult TZipArchiver::Impl::Decode(const EntryRecord& entry, uint64_t data_offset,
                                        const ChunkWriter& write) {
  const CentralHeader& h = entry.header;
  uint64_t at = data_offset;
  const DecodeResult result = DecodeEntry(
      [&](char* buffer, size_t count) {
        const ssize_t got = io_.PRead(fd_, buffer, count, static_cast<off_t>(at));
        if (got <= 0) return size_t{0};
        at += static_cast<uint64_t>(got);
        return static_cast<size_t>(got);
      },
      h.compressed_size, h.method, h.uncompressed_size, write);
  return result;
}

bool TZipArchiver::Impl::DecodeFailed(const EntryRecord& entry, const DecodeResult& r) const {
  return r.broken || r.bytes_produced != entry.header.uncompressed_size ||
         r.crc32 != entry.header.crc32;
}

void TZipArchiver::Impl::TestEntry(const EntryRecord& entry) {
  if (entry.Damaged) throw Error(kErrDataCheck);
  if (entry.IsDirectory()) return;
  const CentralHeader& h = entry.header;
  if ((h.flags & kFlagEncrypted) != 0 || (h.method != 0 && h.method != 8)) {
    throw Error(kErrDataCheck);
  }
  const DecodeResult r = Decode(entry, EntryDataOffset(entry), [](const char*, size_t) {});
  if (r.overflow || DecodeFailed(entry, r)) throw Error(kErrDataCheck);
}

namespace {

// Opens the directory `name` below `dir` (known to `names` as `key`), making it when
// `create` allows, never through a symbolic link; an existing directory spelled in another
// letter case is the same directory. `key` becomes the child's key.
int OpenChildDirectory(const ArchiveIo& io, DirectoryNames& names, int dir_fd, std::string& key,
                       const std::string& name, bool create) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
  const std::string actual = names.Find(key, dir_fd, name).value_or(name);
  int fd = io.OpenAt(dir_fd, actual.c_str(), flags, 0);
  if (fd < 0 && errno == ENOENT && create) {
    if (io.MkdirAt(dir_fd, name.c_str(), 0777) == 0) {
      names.Added(key, name);
    } else if (errno != EEXIST) {
      return -1;
    }
    fd = io.OpenAt(dir_fd, name.c_str(), flags, 0);
  }
  key += "/" + actual;
  return fd;
}

std::string JoinPath(const std::string& base, const std::vector<std::string>& parts, size_t n) {
  std::string out = base;
  for (size_t i = 0; i < n && i < parts.size(); ++i) out += "/" + parts[i];
  return out;
}

}  // namespace

void TZipArchiver::Impl::ExtractEntry(EntryRecord& entry, ExtractionRun& run) {
  std::string name = entry.StoredName;
  if (owner_.OnConfirmProcessFile && !owner_.OnConfirmProcessFile(name)) return;
  // Nothing is written for an entry the archive holds only in part: a target it would
  // replace stays as it is.
  if (entry.Damaged) throw Error(kErrDataCheck);
  uint32_t attributes = entry.header.external_attributes;
  if (owner_.OnExtractFile) owner_.OnExtractFile(name, attributes);
  if (IsSymbolicLinkEntry(entry.header.version_made_by, attributes)) {
    throw Error(kErrSymbolicLink, name);
  }
  CheckedEntryName checked = CheckEntryName(name);
  if (checked.verdict == EntryNameVerdict::kEscapes) throw Error(kErrUnsafeName, name);
  if (checked.verdict == EntryNameVerdict::kMalformed) throw Error(kErrBadName, name);
  std::vector<std::string>& parts = checked.components;
  const bool directory = (attributes & 0x10) != 0 || name.back() == '/';
  if (!owner_.Options().CreateDirs) {
    if (directory) return;
    parts = {parts.back()};
  }
  // Directories: every component for a directory entry, all but the last for a file.
  UniqueFd dir = ArchiveFd(io_, io_.Dup(run.base_fd));
  std::string key;
  const size_t dir_count = directory ? parts.size() : parts.size() - 1;
  for (size_t i = 0; i < dir_count; ++i) {
    const int child =
        OpenChildDirectory(io_, run.names, dir.get(), key, parts[i], owner_.Options().CreateDirs);
    if (child < 0) throw Error(kErrCreateDirectory, JoinPath(run.base_path, parts, i + 1));
    dir.reset(child);
  }
  if (directory) return;
  WriteTarget(entry, run, TargetDir{dir.get(), key, parts.back()},
              JoinPath(run.base_path, parts, parts.size()));
}

void TZipArchiver::Impl::WriteTarget(const EntryRecord& entry, ExtractionRun& run,
                                     const TargetDir& target, const std::string& target_path) {
  const int dir_fd = target.dir_fd;
  const std::string& leaf = target.leaf;
  const CentralHeader& h = entry.header;
  if ((h.flags & kFlagEncrypted) != 0 || (h.method != 0 && h.method != 8)) {
    throw Error(kErrDataCheck);
  }
  const uint64_t data_offset = EntryDataOffset(entry);
  uint64_t freed = 0;
  if (const auto existing = run.names.Find(target.dir_key, dir_fd, leaf)) {
    struct stat st {};
    if (io_.FStatAt(dir_fd, existing->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISDIR(st.st_mode)) {
      throw Error(kErrCreateFile, target_path);
    }
    if (!owner_.Options().ReplaceReadOnly && (st.st_mode & S_IWUSR) == 0) return;
    const auto entry_time = FromDosDateTime(DosDateTime{h.date, h.time}).value_or(0);
    switch (owner_.Options().OverwriteMode) {
      case omAlways:
        break;
      case omIfNewer:
        if (entry_time <= st.st_mtime) return;
        break;
      case omIfOlder:
        if (entry_time >= st.st_mtime) return;
        break;
      case omNever:
      case omPrompt:
        return;
    }
    if (S_ISREG(st.st_mode)) freed = static_cast<uint64_t>(st.st_size);
    CheckDiskSpace(entry, dir_fd, freed);
    if (io_.UnlinkAt(dir_fd, existing->c_str(), 0) != 0) {
      throw SystemError(kErrDeleteFile, target_path);
    }
    run.names.Removed(target.dir_key, *existing);
  } else {
    CheckDiskSpace(entry, dir_fd, 0);
  }
  UniqueFd out = ArchiveFd(
      io_, io_.OpenAt(dir_fd, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666));
  if (out.get() < 0) throw SystemError(kErrCreateFile, target_path);
  run.names.Added(target.dir_key, leaf);
  if (owner_.Options().FlushBuffers) run.flush.Note(dir_fd);
  DecodeResult result;
  bool decoded = false;
  try {
    result = Decode(entry, data_offset, [&](const char* data, size_t count) {
      if (io_.Write(out.get(), data, count) != static_cast<ssize_t>(count)) {
        throw SystemError(kErrWrite);
      }
    });
    decoded = true;
  } catch (...) {
    FinishTarget(entry, out.get());
    throw;
  }
  FinishTarget(entry, out.get());
  if (decoded && (result.overflow || DecodeFailed(entry, result))) {
    throw Error(kErrDataCheck);
  }
}

void TZipArchiver::Impl::CheckDiskSpace(const EntryRecord& entry, int dir_fd, uint64_t freed) {
  struct statvfs vfs {};
  if (io_.FStatVfs(dir_fd, &vfs) != 0) return;
  const uint64_t available = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize + freed;
  if (entry.header.uncompressed_size > available) throw Error(kErrDiskSpace, entry.StoredName);
}

// The target keeps the entry's date whatever happened to its data, and with SetAttributes a
// read-only entry gives a read-only file. (With FlushBuffers the run flushes it at its end.)
void TZipArchiver::Impl::FinishTarget(const EntryRecord& entry, int fd) {
  if (const auto t = FromDosDateTime(DosDateTime{entry.header.date, entry.header.time})) {
    io_.FSetTimes(fd, static_cast<int64_t>(*t));
  }
  struct stat st {};
  if (owner_.Options().SetAttributes && (entry.header.external_attributes & 0x01) != 0 &&
      io_.FStat(fd, &st) == 0) {
    io_.FChmod(fd, st.st_mode & 07555);
  }
}

}  // namespace marvolen
