// The component's life cycle: settings, opening and closing, batches, the validity test.
#include "zip/ZipArchiver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/FileNames.h"
#include "zip/ArchivePaths.h"
#include "zip/ZipArchiverImpl.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

RealClock& DefaultClock() {
  static RealClock clock;
  return clock;
}

}  // namespace

bool EntryRecord::IsDirectory() const {
  return (header.external_attributes & 0x10) != 0 ||
         (!StoredName.empty() && StoredName.back() == '/');
}

TBaseArchiver::TBaseArchiver(std::string name, Clock* clock, const FileOps* files)
    : clock_(clock != nullptr ? *clock : DefaultClock()),
      io_(files != nullptr ? *files : SystemFileOps()),
      name_(std::move(name)) {}

void TBaseArchiver::SetCompressionLevel(TCompressionLevel level) {
  static constexpr int kModes[] = {0, 1, 6, 9};
  level_ = level;
  mode_ = kModes[std::min<int>(level, clMax)];
}

void TBaseArchiver::SetCompressionMode(int mode) {
  if (mode < 0 || mode > 9) throw Error(kErrCompressionMode);
  mode_ = mode;
  level_ = mode == 0 ? clNone : mode <= 3 ? clFastest : mode <= 6 ? clNormal : clMax;
}

EArchiveError TBaseArchiver::Error(int native_error, std::string_view arg1,
                                   std::string_view arg2) const {
  return EArchiveError(name_, native_error, arg1, arg2);
}

EArchiveError TBaseArchiver::SystemError(int native_error, std::string_view arg1,
                                         std::string_view arg2) const {
  const int error = errno;
  return EArchiveError(error, name_, native_error, arg1, arg2);
}

TArchiveAction TBaseArchiver::ReportFailure(const std::string& file_name,
                                            TArchiveOperation operation,
                                            const EArchiveError& error) {
  TArchiveAction action = faIgnore;
  if (OnProcessFileFailure) {
    OnProcessFileFailure(*this, file_name, operation, error.NativeError(), error.ErrorCode(),
                         error.Text(), action);
  }
  return action;
}

TZipArchiver::TZipArchiver(std::string name, Clock* clock, const FileOps* files)
    : TBaseArchiver(std::move(name), clock, files), impl_(std::make_unique<Impl>(*this)) {}

TZipArchiver::~TZipArchiver() {
  try {
    impl_->CloseZip();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  impl_->Release();
}

void TZipArchiver::OpenZip(uint16_t mode) {
  impl_->OpenZip(mode);
}

void TZipArchiver::CloseZip() {
  impl_->CloseZip();
}

bool TZipArchiver::IsOpen() const {
  return impl_->IsOpen();
}

bool TZipArchiver::IsReadOnly() const {
  return impl_->IsReadOnly();
}

void TZipArchiver::AddMatching(std::string_view FileMask, uint32_t AttrMask,
                               std::string_view ExcludeMask) {
  impl_->AddMatching(FileMask, AttrMask, ExcludeMask);
}

void TZipArchiver::BeginBatch() {
  impl_->BeginBatch();
}

void TZipArchiver::EndBatch() {
  impl_->EndBatch();
}

int TZipArchiver::BatchDepth() const {
  return impl_->BatchDepth();
}

bool TZipArchiver::IsZipValid() noexcept {
  return impl_->IsZipValid();
}

void TZipArchiver::ExtractMatching(std::string_view FileMask, uint32_t AttrMask,
                                   std::string_view ExcludeMask) {
  impl_->RunSelected(aoExtract, FileMask, AttrMask, ExcludeMask);
}

void TZipArchiver::TestMatching(std::string_view FileMask, uint32_t AttrMask,
                                std::string_view ExcludeMask) {
  impl_->RunSelected(aoTest, FileMask, AttrMask, ExcludeMask);
}

size_t TZipArchiver::Count() const {
  return impl_->Entries().size();
}

const EntryRecord& TZipArchiver::Entry(size_t index) const {
  return impl_->Entries().at(index);
}

const std::string& TZipArchiver::ArchiveComment() const {
  return impl_->Comment();
}

TZipArchiver::Impl::Impl(TZipArchiver& owner)
    : owner_(owner), clock_(owner.clock_), io_(owner.io_) {}

std::string TZipArchiver::Impl::ArchivePath() const {
  return ResolveArchivePath(owner_.FileName());
}

void TZipArchiver::Impl::RequireOpen() const {
  if (!IsOpen()) throw Error(kErrNotOpen);
}

void TZipArchiver::Impl::Release() noexcept {
  if (fd_ >= 0) io_.Close(fd_);
  fd_ = -1;
  read_only_ = false;
  batch_depth_ = 0;
  entries_.clear();
  batch_copy_.clear();
  names_.clear();
  cd_offset_ = cd_end_ = end_ = 0;
  comment_.clear();
  path_.clear();
}

uint64_t TZipArchiver::Impl::FileLength() const {
  struct stat st {};
  if (io_.FStat(fd_, &st) != 0) throw SystemError(kErrWrite);
  return static_cast<uint64_t>(st.st_size);
}

void TZipArchiver::Impl::OpenZip(uint16_t mode) {
  if (IsOpen()) CloseZip();
  if (BlankFileNamePart(owner_.FileName())) throw Error(kErrBlankArchiveName);
  const std::string path = ArchivePath();
  if (mode == kOpenCreate) {
    fd_ = io_.Open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd_ < 0) throw SystemError(kErrCreateArchive, path);
    path_ = path;
    return;
  }
  struct stat st {};
  if (io_.Stat(path.c_str(), &st) != 0 && errno == ENOENT)
    throw Error(kErrFileNotFound, owner_.FileName());
  // Non-blocking, so that a pipe or device under the archive's name cannot hang the tick.
  fd_ = io_.Open(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
  if (fd_ < 0) throw SystemError(kErrOpenArchiveFile);
  if (io_.FStat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    Release();
    throw Error(kErrOpenArchiveFile);
  }
  read_only_ = true;
  path_ = path;
  try {
    ReadEntryList(owner_.TolerateDamage());
  } catch (...) {
    Release();
    throw;
  }
}

void TZipArchiver::Impl::OpenForUpdate() {
  if (BlankFileNamePart(owner_.FileName())) throw Error(kErrBlankArchiveName);
  const std::string path = ArchivePath();
  fd_ = io_.Open(path.c_str(), O_RDWR | O_CREAT, 0666);
  if (fd_ < 0) {
    fd_ = io_.Open(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd_ < 0) throw SystemError(kErrCreateArchive, path);
    read_only_ = true;
  }
  path_ = path;
  try {
    if (FileLength() > 0) ReadEntryList(false);
  } catch (...) {
    Release();
    throw;
  }
}

void TZipArchiver::Impl::CloseZip() {
  if (!IsOpen()) return;
  try {
    if (!read_only_) {
      if (batch_depth_ > 0) Commit();
      if (FileLength() == 0) {
        end_ = 0;
        WriteCentralDirectory(entries_);
        if (owner_.Options().FlushBuffers) io_.FSync(fd_);
      }
    }
  } catch (...) {
    Release();
    throw;
  }
  Release();
}

void TZipArchiver::Impl::BeginBatch() {
  if (batch_depth_ == 0) {
    if (!IsOpen()) OpenForUpdate();
    if (read_only_) throw Error(kErrReadOnlyArchive);
    for (EntryRecord& e : entries_) e.Modified = false;
    batch_copy_ = entries_;
    IndexNames();
  }
  ++batch_depth_;
}

void TZipArchiver::Impl::EndBatch() {
  if (batch_depth_ == 0) return;
  if (batch_depth_ == 1) {
    Commit();
  } else {
    --batch_depth_;
  }
}

void TZipArchiver::Impl::AddMatching(std::string_view mask, uint32_t attr_mask,
                                     std::string_view exclude) {
  RequireOpen();
  BeginBatch();
  SelectionSettings settings;
  settings.BaseDir = owner_.BaseDir();
  settings.StorePath = owner_.Options().StorePath;
  settings.Recurse = owner_.Options().Recurse;
  settings.ArchivePath = path_;
  settings.OnConfirmProcessFile = owner_.OnConfirmProcessFile;
  settings.OnStoreFile = owner_.OnStoreFile;
  try {
    SelectFiles(settings, mask, attr_mask, exclude,
                [this](const FoundItem& item) { return RecordItem(item); });
  } catch (...) {
    // The search failed half-way: forget what it recorded and leave the archive as the
    // last commit wrote it.
    batch_depth_ = 0;
    entries_ = batch_copy_;
    names_.clear();
    throw;
  }
  EndBatch();
}

bool TZipArchiver::Impl::IsZipValid() noexcept {
  if (IsOpen()) return true;
  try {
    const std::string path = ArchivePath();
    const int fd = io_.Open(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) return false;
    struct stat st {};
    bool found = false;
    if (io_.FStat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      found = FindEndRecord(static_cast<uint64_t>(st.st_size), [&](uint64_t offset, size_t count,
                                                                   unsigned char* buffer) {
                return io_.PRead(fd, buffer, count, static_cast<off_t>(offset)) ==
                       static_cast<ssize_t>(count);
              }).has_value();
    }
    io_.Close(fd);
    return found;
  } catch (...) {
    return false;
  }
}

}  // namespace marvolen
