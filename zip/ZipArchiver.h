// The archive component: the station's `Zipper1`. It builds "envio.zip" from the files that
// masks select and unpacks every archive an office sends ("recibo.zip").
//
// Use, writing:  SetFileName("envio.zip"); OpenZip(kOpenCreate); AddMatching("tablas/*.*");
//                ... CloseZip();
// Use, reading:  SetFileName("recibo.zip"); if (IsZipValid()) { OpenZip(kOpenRead);
//                ExtractMatching("*.*"); CloseZip(); }
//
// Errors: every operation that can fail throws EArchiveError (zip/ArchiveError.h) with the
// component's error number and message, except that a failure of one file while packing or
// unpacking goes to OnProcessFileFailure and the run goes on as the handler answers. The mask
// matcher throws EInvalidMask; file-system surprises outside the catalogue surface as
// std::exception. IsZipValid never throws. The destructor closes the archive and never throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "zip/ArchiveError.h"
#include "zip/ArchiveIo.h"
#include "zip/FileSelection.h"
#include "zip/ZipFormat.h"

namespace marvolen {

enum TCompressionLevel : uint8_t { clNone, clFastest, clNormal, clMax };
enum TOverwriteMode : uint8_t { omPrompt, omAlways, omNever, omIfNewer, omIfOlder };
// Kept for the settings' sake: Linux has no mandatory sharing modes, so source files are
// always opened as smShareDenyNone would open them.
enum TShareMode : uint8_t {
  smShareCompat,
  smShareExclusive,
  smShareDenyWrite,
  smShareDenyRead,
  smShareDenyNone
};
// The failure handler's answer: try the same file again, leave it out, or undo the batch.
enum TArchiveAction : uint8_t { faRetry = 0, faIgnore = 1, faAbort = 2 };
// What was being done to the file that failed.
enum TArchiveOperation : uint8_t { aoAdd = 0, aoReplace = 3, aoExtract = 4, aoTest = 5 };

// OpenZip modes.
inline constexpr uint16_t kOpenCreate = 0xFFFF;
inline constexpr uint16_t kOpenRead = 0;

struct TArchiverOptions {
  TStorePathMode StorePath = spRelativePath;
  bool Recurse = true;
  uint32_t SearchAttr = kStationAttrMask;  // not consulted: AddMatching takes its own mask
  TShareMode ShareMode = smShareDenyNone;
  TOverwriteMode OverwriteMode = omAlways;  // omPrompt has nobody to ask: it keeps what exists
  bool CreateDirs = true;
  bool ReplaceReadOnly = true;
  bool SetAttributes = true;
  bool FlushBuffers = true;
  bool OEMFileNames = true;
};

class TBaseArchiver;

using TArchiveFileFailureEvent = std::function<void(
    TBaseArchiver& Sender, const std::string& FileName, TArchiveOperation Operation,
    int NativeError, int ErrorCode, const std::string& ErrorMessage, TArchiveAction& Action)>;
// May refuse one file before it is packed or unpacked (full path when packing, the entry's
// name when unpacking); unset confirms every file.
using TConfirmProcessFileEvent = std::function<bool(const std::string& FileName)>;
// May change the stored name ("\" separators), attributes and comment of a found file.
using TStoreFileEvent =
    std::function<void(std::string& StoredName, uint32_t& Attributes, std::string& Comment)>;
// May change the name ("/" separators, relative to the base directory) and attributes of an
// entry about to be unpacked. The name is checked for safety after the event.
using TExtractFileEvent = std::function<void(std::string& FileName, uint32_t& Attributes)>;

// One entry of the archive, in archive order.
struct EntryRecord {
  CentralHeader header;    // the central directory file header's fields
  std::string StoredName;  // UTF-8, "/" separators
  std::string raw_name;    // the name's bytes in the archive (CP850 unless flagged UTF-8)
  std::string extra;       // central extra field, kept as read
  std::string comment;     // entry comment, kept as read
  std::string SourcePath;  // full path on disk of a file to be packed
  bool Modified = false;
  int CompressionMode = 0;  // deflate level for this entry; 0 stores
  uint8_t Change = 0;       // pending change: 0 add, 3 replace
  bool Selected = false;    // chosen by the current extraction run
  bool Damaged = false;     // the file ends inside this entry: it cannot be read whole
  uint64_t data_limit = 0;  // where the next entry or the central directory begins

  bool IsDirectory() const;
};

// Settings, events and the catalogue-backed errors that every archiver shares.
class TBaseArchiver {
 public:
  // `files` is the system seam every file call goes through (the real calls when null); it
  // must outlive the archiver.
  explicit TBaseArchiver(std::string name, Clock* clock = nullptr, const FileOps* files = nullptr);
  virtual ~TBaseArchiver() = default;
  TBaseArchiver(const TBaseArchiver&) = delete;
  TBaseArchiver& operator=(const TBaseArchiver&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string file_name) { file_name_ = std::move(file_name); }
  const std::string& BaseDir() const { return base_dir_; }
  void SetBaseDir(std::string base_dir) { base_dir_ = std::move(base_dir); }
  TArchiverOptions& Options() { return options_; }
  const TArchiverOptions& Options() const { return options_; }

  // Two views of one setting: the level sets the mode (0, 1, 6, 9) and the mode sets the
  // level (0; 1-3; 4-6; 7-9). A mode above 9 throws error 5.
  TCompressionLevel CompressionLevel() const { return level_; }
  void SetCompressionLevel(TCompressionLevel level);
  int CompressionMode() const { return mode_; }
  void SetCompressionMode(int mode);

  bool TolerateDamage() const { return tolerate_damage_; }
  void SetTolerateDamage(bool on) { tolerate_damage_ = on; }

  TArchiveFileFailureEvent OnProcessFileFailure;
  TConfirmProcessFileEvent OnConfirmProcessFile;
  TStoreFileEvent OnStoreFile;
  TExtractFileEvent OnExtractFile;

 protected:
  // An EArchiveError of this component; `arg1`/`arg2` fill the message.
  EArchiveError Error(int native_error, std::string_view arg1 = {},
                      std::string_view arg2 = {}) const;
  // The same for the system call that has just failed: it carries the call's errno.
  EArchiveError SystemError(int native_error, std::string_view arg1 = {},
                            std::string_view arg2 = {}) const;
  // Hands a per-file failure to OnProcessFileFailure and returns the answer (faIgnore when
  // unassigned).
  TArchiveAction ReportFailure(const std::string& file_name, TArchiveOperation operation,
                               const EArchiveError& error);

  Clock& clock_;
  ArchiveIo io_;

 private:
  std::string name_;
  std::string file_name_;
  std::string base_dir_;
  TArchiverOptions options_;
  TCompressionLevel level_ = clFastest;
  int mode_ = 1;
  bool tolerate_damage_ = true;
};

class TZipArchiver : public TBaseArchiver {
 public:
  explicit TZipArchiver(std::string name = "Zipper1", Clock* clock = nullptr,
                        const FileOps* files = nullptr);
  ~TZipArchiver() override;

  // kOpenCreate creates (or empties) FileName; kOpenRead opens it and reads its entry list.
  // An open archive is closed first. Errors 10 (blank name), 12 (missing, read mode),
  // 23 (cannot create), 45 (cannot open), 48/35/44/40 (not a readable archive).
  void OpenZip(uint16_t mode);
  // Commits what is pending, gives an untouched new archive its empty end record, releases
  // the file. Closing a closed archive does nothing.
  void CloseZip();
  bool IsOpen() const;
  bool IsReadOnly() const;

  // Packs the files `FileMask` selects (see SelectFiles) in one batch: the archive on disk is
  // complete and valid when it returns. Errors 13 (not open), 32 (read mode), 46 (write).
  void AddMatching(std::string_view FileMask, uint32_t AttrMask = kStationAttrMask,
                   std::string_view ExcludeMask = {});
  // Batches nest; the outermost EndBatch writes every change at once and, on failure,
  // restores the archive as it was when the batch began.
  void BeginBatch();
  void EndBatch();
  int BatchDepth() const;

  // Whether FileName ends in a ZIP end record (true at once when open). Cheap; never throws.
  bool IsZipValid() noexcept;

  // Unpacks the selected entries below BaseDir (empty: the current directory). Errors 13
  // (not open), 26 (batch open), 20 (base directory); each entry's failure goes to
  // OnProcessFileFailure. Entries whose names leave the base directory and symbolic links
  // are never written: they are reported as failures (errors 100, 101, 103).
  void ExtractMatching(std::string_view FileMask = "*.*", uint32_t AttrMask = kStationAttrMask,
                       std::string_view ExcludeMask = {});
  // Decodes the selected entries and checks their sizes and CRCs without writing anything;
  // failures go to OnProcessFileFailure. Same errors as ExtractMatching.
  void TestMatching(std::string_view FileMask = "*.*", uint32_t AttrMask = kStationAttrMask,
                    std::string_view ExcludeMask = {});

  size_t Count() const;
  // Throws std::out_of_range for an index at or beyond Count().
  const EntryRecord& Entry(size_t index) const;
  const std::string& ArchiveComment() const;

 private:
  // The open file, its entry list and the steps over them (zip/ZipArchiverImpl.h).
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace marvolen
