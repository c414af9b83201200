// The inside of TZipArchiver: the open archive file, its entry list, and the steps that read,
// pack and unpack it. Only the component's own sources include this header; everything else
// sees the contract in zip/ZipArchiver.h.
//
// The settings and events stay on the archiver (`owner_`): the steps read them at the moment
// they run, so a change between two calls takes effect as a user of the component expects.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zip/Codec.h"
#include "zip/ZipArchiver.h"

namespace marvolen {

struct ExtractionRun;

class TZipArchiver::Impl {
 public:
  explicit Impl(TZipArchiver& owner);

  // The archiver's operations of the same names; see zip/ZipArchiver.h.
  void OpenZip(uint16_t mode);
  void CloseZip();
  void AddMatching(std::string_view mask, uint32_t attr_mask, std::string_view exclude);
  void BeginBatch();
  void EndBatch();
  bool IsZipValid() noexcept;
  // ExtractMatching (aoExtract) and TestMatching (aoTest).
  void RunSelected(TArchiveOperation operation, std::string_view mask, uint32_t attr_mask,
                   std::string_view exclude);
  // Releases the file and forgets the archive, whatever was pending.
  void Release() noexcept;

  bool IsOpen() const { return fd_ >= 0; }
  bool IsReadOnly() const { return IsOpen() && read_only_; }
  int BatchDepth() const { return batch_depth_; }
  const std::vector<EntryRecord>& Entries() const { return entries_; }
  const std::string& Comment() const { return comment_; }

 private:
  struct CommitPlan;
  struct Descriptor {
    uint32_t crc32, compressed_size, uncompressed_size;
  };
  // Where a file is written: its directory's descriptor and key among the run's
  // DirectoryNames, and its name there.
  struct TargetDir {
    int dir_fd;
    const std::string& dir_key;
    const std::string& leaf;
  };

  EArchiveError Error(int native_error, std::string_view arg1 = {},
                      std::string_view arg2 = {}) const {
    return owner_.Error(native_error, arg1, arg2);
  }
  EArchiveError SystemError(int native_error, std::string_view arg1 = {},
                            std::string_view arg2 = {}) const {
    return owner_.SystemError(native_error, arg1, arg2);
  }
  void RequireOpen() const;
  std::string ArchivePath() const;
  uint64_t FileLength() const;
  void WriteAll(const void* data, size_t count);
  void WriteAt(uint64_t offset, const void* data, size_t count);
  void Truncate(uint64_t length);

  // Packing (ZipWriter.cpp).
  void OpenForUpdate();
  void IndexNames();
  bool RecordItem(const FoundItem& item);
  void Commit();
  bool CommitEntry(size_t& index, CommitPlan& plan);
  void WriteEntry(EntryRecord& entry);
  void CopySaved(EntryRecord& entry, const CommitPlan& plan, uint64_t old_offset, uint64_t extent);
  void WriteCentralDirectory(std::vector<EntryRecord>& entries);
  void Rollback(const CommitPlan& plan) noexcept;

  // Reading the entry list (ZipReader.cpp).
  std::string EntryName(const std::string& raw, uint16_t flags, const std::string& extra) const;
  void ReadEntryList(bool tolerate_damage);
  void ReadCentralDirectory(const EndRecordHit& end);
  void RebuildFromLocalHeaders(uint64_t size);
  std::optional<uint64_t> LocalEntryAt(uint64_t at, uint64_t size, EntryRecord& e);
  std::optional<Descriptor> FindDataDescriptor(uint64_t data_start, uint64_t size);
  void ComputeDataLimits(bool strict);

  // Unpacking (ZipExtract.cpp).
  void SelectEntries(std::string_view mask, uint32_t attr_mask, std::string_view exclude);
  uint64_t EntryDataOffset(const EntryRecord& entry);
  DecodeResult Decode(const EntryRecord& entry, uint64_t data_offset, const ChunkWriter& write);
  bool DecodeFailed(const EntryRecord& entry, const DecodeResult& result) const;
  void TestEntry(const EntryRecord& entry);
  void ExtractEntry(EntryRecord& entry, ExtractionRun& run);
  void WriteTarget(const EntryRecord& entry, ExtractionRun& run, const TargetDir& target,
                   const std::string& target_path);
  void CheckDiskSpace(const EntryRecord& entry, int dir_fd, uint64_t freed);
  void FinishTarget(const EntryRecord& entry, int fd);

  TZipArchiver& owner_;
  Clock& clock_;
  const ArchiveIo& io_;
  int fd_ = -1;
  bool read_only_ = false;
  std::string path_;  // absolute path of the open archive
  int batch_depth_ = 0;
  std::vector<EntryRecord> entries_;
  std::vector<EntryRecord> batch_copy_;
  std::unordered_map<std::string, size_t> names_;  // folded StoredName -> first entry, in a batch
  std::unique_ptr<EntryCompressor> compressor_;    // during a commit
  uint64_t cd_offset_ = 0;  // where the central directory starts, as last written or read
  uint64_t cd_end_ = 0;     // where it ends
  uint64_t end_ = 0;        // where the next byte is written
  std::string comment_;
};

}  // namespace marvolen
