// Packing: recording found files in the entry list, and the commit that writes the changed
// entries, the central directory and the end record, or puts the archive back as it was.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <exception>
#include <map>
#include <vector>

#include "platform/CodePage.h"
#include "platform/DosTime.h"
#include "platform/FileNames.h"
#include "zip/Codec.h"
#include "zip/ZipArchiverImpl.h"

namespace marvolen {

namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFF;

uint64_t DosSeconds(uint16_t date, uint16_t time) {
  const auto t = FromDosDateTime(DosDateTime{date, time});
  return t ? static_cast<uint64_t>(*t) : 0;
}

}  // namespace

// What a commit needs to finish or to undo itself.
struct TZipArchiver::Impl::CommitPlan {
  std::vector<EntryRecord> before;  // the entry list when the batch began
  uint64_t cut = 0;                 // the file is rewritten from here on
  uint64_t old_cd_offset = 0;
  int saved_fd = -1;                    // the old bytes [cut, old_cd_offset) while entries move
  std::map<uint64_t, uint64_t> extent;  // old local header offset -> bytes up to the next
  std::exception_ptr abort_error;
};

void TZipArchiver::Impl::WriteAll(const void* data, size_t count) {
  WriteAt(end_, data, count);
  end_ += count;
}

void TZipArchiver::Impl::WriteAt(uint64_t offset, const void* data, size_t count) {
  if (count == 0) return;
  if (io_.PWrite(fd_, data, count, static_cast<off_t>(offset)) != static_cast<ssize_t>(count)) {
    throw SystemError(kErrWrite);
  }
}

void TZipArchiver::Impl::Truncate(uint64_t length) {
  if (io_.FTruncate(fd_, static_cast<off_t>(length)) != 0) throw SystemError(kErrWrite);
  end_ = length;
}

// The entry list's names, folded, each with its first entry: found items are looked up here
// instead of comparing each with every entry.
void TZipArchiver::Impl::IndexNames() {
  names_.clear();
  for (size_t i = 0; i < entries_.size(); ++i) names_.emplace(FoldCase(entries_[i].StoredName), i);
}

bool TZipArchiver::Impl::RecordItem(const FoundItem& item) {
  const std::string folded = FoldCase(item.StoredName);
  const auto indexed = names_.find(folded);
  const auto found = indexed == names_.end()
                         ? entries_.end()
                         : entries_.begin() + static_cast<std::ptrdiff_t>(indexed->second);
  DosDateTime stamp = ToDosDateTime(std::chrono::system_clock::to_time_t(clock_.WallNow()));
  struct stat st {};
  if (!item.Directory && io_.Stat(item.FullPath.c_str(), &st) == 0) {
    stamp = ToDosDateTime(st.st_mtime);
  }
  EntryRecord* entry = nullptr;
  if (found != entries_.end()) {
    const uint64_t file_time = DosSeconds(stamp.date, stamp.time);
    const uint64_t entry_time = DosSeconds(found->header.date, found->header.time);
    switch (owner_.Options().OverwriteMode) {
      case omAlways:
        break;
      case omIfNewer:
        if (file_time <= entry_time) return false;
        break;
      case omIfOlder:
        if (file_time >= entry_time) return false;
        break;
      case omNever:
      case omPrompt:
        return false;
    }
    entry = &*found;
    entry->Change = 3;
  } else {
    names_.emplace(folded, entries_.size());
    entry = &entries_.emplace_back();
    entry->Change = 0;
  }
  entry->StoredName = item.StoredName;
  entry->raw_name = owner_.Options().OEMFileNames ? Utf8ToOem(item.StoredName) : item.StoredName;
  entry->extra.clear();
  entry->comment = owner_.Options().OEMFileNames ? Utf8ToOem(item.Comment) : item.Comment;
  CentralHeader& h = entry->header;
  h = CentralHeader{};
  h.method = owner_.CompressionMode() != 0 ? 8 : 0;
  h.date = stamp.date;
  h.time = stamp.time;
  h.crc32 = 0xFFFFFFFF;
  h.name_length = static_cast<uint16_t>(std::min<size_t>(entry->raw_name.size(), 0xFFFF));
  h.comment_length = static_cast<uint16_t>(std::min<size_t>(entry->comment.size(), 0xFFFF));
  h.external_attributes = item.Attributes;
  entry->SourcePath = item.FullPath;
  entry->Modified = true;
  entry->CompressionMode = item.Directory ? 0 : owner_.CompressionMode();
  return true;
}

void TZipArchiver::Impl::WriteEntry(EntryRecord& entry) {
  const bool directory = entry.IsDirectory();
  uint64_t length = 0;
  const UniqueFd source =
      ArchiveFd(io_, directory ? -1 : io_.Open(entry.SourcePath.c_str(), O_RDONLY | O_NONBLOCK, 0));
  if (!directory) {
    struct stat st {};
    if (source.get() < 0 || io_.FStat(source.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      throw Error(kErrOpenFile, entry.SourcePath);
    }
    length = static_cast<uint64_t>(st.st_size);
    if (length >= kMax32) throw Error(kErrZip64Source, entry.SourcePath);
  }
  if (end_ >= kMax32) throw Error(kErrZip64Size, entry.SourcePath);
  CentralHeader& h = entry.header;
  h.local_header_offset = end_;
  h.version_made_by = h.version_needed = 20;
  LocalHeader local{
      20, 0, h.method, h.time, h.date, 0xFFFFFFFF, 0, static_cast<uint32_t>(length), h.name_length,
      0};
  const std::string head = LocalHeaderBytes(local) + entry.raw_name.substr(0, h.name_length);
  WriteAll(head.data(), head.size());
  if (directory) return;

  if (!compressor_) compressor_ = std::make_unique<EntryCompressor>();
  const CompressResult result = compressor_->Compress(
      [&](char* buffer, size_t count) {
        const ssize_t got = io_.Read(source.get(), buffer, count);
        return got > 0 ? static_cast<size_t>(got) : size_t{0};
      },
      length, entry.CompressionMode,
      [&](const char* data, size_t count) { WriteAll(data, count); });
  if (result.bytes_read != length) {
    throw Error(kErrShortRead, std::to_string(length), std::to_string(result.bytes_read));
  }
  if (result.bytes_written >= kMax32 || end_ >= kMax32) {
    throw Error(kErrZip64Size, entry.SourcePath);
  }
  h.method = length == 0 || entry.CompressionMode == 0 ? 0 : 8;
  h.crc32 = result.crc32;
  h.compressed_size = result.bytes_written;
  h.uncompressed_size = length;
  local.method = h.method;
  local.crc32 = h.crc32;
  local.compressed_size = static_cast<uint32_t>(h.compressed_size);
  const std::string patched = LocalHeaderBytes(local);
  WriteAt(h.local_header_offset, patched.data(), patched.size());
}

void TZipArchiver::Impl::CopySaved(EntryRecord& entry, const CommitPlan& plan, uint64_t old_offset,
                                   uint64_t extent) {
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(extent, 1 << 20)));
  const uint64_t new_offset = end_;
  uint64_t done = 0;
  while (done < extent) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), extent - done));
    const off_t at = static_cast<off_t>(old_offset - plan.cut + done);
    if (io_.PRead(plan.saved_fd, buffer.data(), n, at) != static_cast<ssize_t>(n)) {
      throw Error(kErrWrite);
    }
    WriteAll(buffer.data(), n);
    done += n;
  }
  entry.header.local_header_offset = new_offset;
}

void TZipArchiver::Impl::WriteCentralDirectory(std::vector<EntryRecord>& entries) {
  const uint64_t start = end_;
  std::string block;
  for (const EntryRecord& e : entries) {
    if (e.header.local_header_offset >= kMax32 || e.header.compressed_size >= kMax32 ||
        e.header.uncompressed_size >= kMax32) {
      throw Error(kErrZip64Size, e.StoredName);
    }
    CentralHeader h = e.header;
    h.extra_length = static_cast<uint16_t>(e.extra.size());
    block += CentralHeaderBytes(h);
    block += e.raw_name.substr(0, h.name_length);
    block += e.extra;
    block += e.comment.substr(0, h.comment_length);
    if (block.size() >= (1u << 20)) {
      WriteAll(block.data(), block.size());
      block.clear();
    }
  }
  WriteAll(block.data(), block.size());
  if (end_ >= kMax32) throw Error(kErrZip64Size, owner_.FileName());
  EndRecord record;
  const uint16_t count = entries.size() > 65534 ? 0xFFFF : static_cast<uint16_t>(entries.size());
  record.entries_on_disk = record.total_entries = count;
  record.cd_size = static_cast<uint32_t>(end_ - start);
  record.cd_offset = static_cast<uint32_t>(start);
  const std::string comment = comment_.substr(0, 0xFFFF);
  record.comment_length = static_cast<uint16_t>(comment.size());
  const std::string tail = EndRecordBytes(record) + comment;
  cd_offset_ = start;
  cd_end_ = end_;
  WriteAll(tail.data(), tail.size());
  Truncate(end_);
}

bool TZipArchiver::Impl::CommitEntry(size_t& index, CommitPlan& plan) {
  for (;;) {
    EntryRecord& entry = entries_[index];
    const uint64_t start = end_;
    try {
      WriteEntry(entry);
      ++index;
      return true;
    } catch (const EArchiveError& error) {
      Truncate(start);
      const bool replaced = entry.Change == 3;
      const TArchiveAction action =
          fd_ < 0 ? faAbort
                  : owner_.ReportFailure(replaced ? entry.StoredName : entry.SourcePath,
                                         replaced ? aoReplace : aoAdd, error);
      if (action == faRetry) continue;
      if (action == faAbort) {
        plan.abort_error = std::current_exception();
        return false;
      }
      if (!replaced) {
        entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
        return true;
      }
      // A replaced entry that cannot be packed keeps its old data.
      const EntryRecord& old = plan.before[index];
      const uint64_t old_offset = old.header.local_header_offset;
      entry = old;
      CopySaved(entry, plan, old_offset, plan.extent.at(old_offset));
      ++index;
      return true;
    }
  }
}

void TZipArchiver::Impl::Commit() {
  batch_depth_ = 0;
  names_.clear();
  // One deflate stream and its buffers serve every entry of the commit.
  struct ReleaseCompressor {
    std::unique_ptr<EntryCompressor>& compressor;
    ~ReleaseCompressor() { compressor.reset(); }
  } release_compressor{compressor_};
  CommitPlan plan;
  plan.before = batch_copy_;
  plan.old_cd_offset = cd_offset_;
  // The file is rewritten from the first replaced entry on (its old bytes are kept aside, so
  // that unchanged entries behind it can move and a failure can put everything back), or,
  // when entries are only added, from the old central directory.
  plan.cut = plan.old_cd_offset;
  std::vector<uint64_t> offsets;
  for (size_t i = 0; i < plan.before.size(); ++i) {
    const uint64_t offset = plan.before[i].header.local_header_offset;
    offsets.push_back(offset);
    if (i < entries_.size() && entries_[i].Modified) plan.cut = std::min(plan.cut, offset);
  }
  std::sort(offsets.begin(), offsets.end());
  for (size_t i = 0; i < offsets.size(); ++i) {
    const uint64_t next = i + 1 < offsets.size() ? offsets[i + 1] : plan.old_cd_offset;
    plan.extent[offsets[i]] = next - offsets[i];
  }
  try {
    if (plan.cut < plan.old_cd_offset) {
      plan.saved_fd = io_.OpenTemporary();
      if (plan.saved_fd < 0) throw SystemError(kErrWrite);
      std::vector<char> buffer(1 << 20);
      for (uint64_t at = plan.cut; at < plan.old_cd_offset;) {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(buffer.size(), plan.old_cd_offset - at));
        if (io_.PRead(fd_, buffer.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n) ||
            io_.PWrite(plan.saved_fd, buffer.data(), n, static_cast<off_t>(at - plan.cut)) !=
                static_cast<ssize_t>(n)) {
          throw Error(kErrWrite);
        }
        at += n;
      }
    }
    Truncate(plan.cut);
    for (size_t i = 0; i < entries_.size();) {
      EntryRecord& entry = entries_[i];
      if (entry.Modified) {
        if (!CommitEntry(i, plan)) break;
        continue;
      }
      const uint64_t old_offset = entry.header.local_header_offset;
      if (old_offset >= plan.cut && i < plan.before.size()) {
        CopySaved(entry, plan, old_offset, plan.extent.at(old_offset));
      }
      ++i;
    }
    if (plan.abort_error) {
      Rollback(plan);
      std::rethrow_exception(plan.abort_error);
    }
    WriteCentralDirectory(entries_);
    if (owner_.Options().FlushBuffers) io_.FSync(fd_);
  } catch (...) {
    if (!plan.abort_error) Rollback(plan);
    if (plan.saved_fd >= 0) io_.Close(plan.saved_fd);
    throw;
  }
  if (plan.saved_fd >= 0) io_.Close(plan.saved_fd);
}

void TZipArchiver::Impl::Rollback(const CommitPlan& plan) noexcept {
  entries_ = plan.before;
  try {
    Truncate(plan.cut);
    if (plan.saved_fd >= 0) {
      std::vector<char> buffer(1 << 20);
      for (uint64_t at = 0; at < plan.old_cd_offset - plan.cut;) {
        const size_t n = static_cast<size_t>(
            std::min<uint64_t>(buffer.size(), plan.old_cd_offset - plan.cut - at));
        if (io_.PRead(plan.saved_fd, buffer.data(), n, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(n)) {
          return;
        }
        WriteAll(buffer.data(), n);
        at += n;
      }
    }
    end_ = plan.old_cd_offset;
    WriteCentralDirectory(entries_);
  } catch (...) {
    // The archive stays as far as it could be put back; the original error goes on.
  }
}

}  // namespace marvolen
