#include "sim/BlockLink.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "sim/OfficeSender.h"
#include "transfer/TransferLine.h"
#include "transfer/TransferReceiver.h"
#include "zip/ZipArchiver.h"

namespace marvolen::office {

namespace fs = std::filesystem;

namespace {

// The block transfer's view of the office's line. Bytes a transfer hands back are kept here
// and returned to the call when the transfer is over.
class LineAdapter final : public TransferLine {
 public:
  LineAdapter(OfficeLine& line, Clock& clock) : line_(line), clock_(clock) {}

  void SendText(std::string_view bytes) override { line_.Send(bytes); }
  std::string ReceiveText(int seconds) override {
    if (!held_.empty()) return std::exchange(held_, std::string());
    return line_.Receive(Millis(1000LL * seconds));
  }
  std::string ReadErrorText() const override { return {}; }
  bool CarrierLost() override { return held_.empty() && line_.Down(); }
  void PurgeInput() override {
    held_.clear();
    line_.Purge();
  }
  void PurgeAll() override { PurgeInput(); }
  void Unread(std::string_view bytes) override { held_.insert(0, bytes); }
  Clock& LineClock() override { return clock_; }

  std::string TakeHeld() { return std::exchange(held_, std::string()); }

 private:
  OfficeLine& line_;
  Clock& clock_;
  std::string held_;
};

// A fresh private folder, removed with everything in it when the holder goes.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "marvolen-office-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "cannot make a scratch folder");
    }
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TransferResult BlockLink::ReceiveArchive(OfficeLine& line, const fs::path& staging) {
  LineAdapter adapter(line, clock_);
  try {
    // "recibo.zip" is kept apart from the unpacked files, so it is never taken for one.
    ScratchFolder work;
    ReceiveSetup setup;
    setup.dir = work.path();
    setup.archive.archive_length = ArchiveLengthWithin;
    setup.archive.extract = [&](const fs::path& archive, const fs::path&, const EntryFilter&) {
      TZipArchiver zip;
      zip.SetFileName(archive.string());
      zip.OpenZip(kOpenRead);
      zip.SetBaseDir(staging.string());
      zip.OnProcessFileFailure = [&](TBaseArchiver&, const std::string& name, TArchiveOperation,
                                     int, int, const std::string& message, TArchiveAction& action) {
        log_ << "ERROR de descompresión: " << name << ": " << message << std::endl;
        action = faIgnore;
      };
      zip.ExtractMatching("*.*");
      zip.CloseZip();
    };
    setup.sinks.log = [&](std::string_view text) { log_ << text << std::endl; };
    const ReceivedFile received = ReceiveFile(adapter, setup);
    return {TransferSucceeded(received.result), received.result, adapter.TakeHeld()};
  } catch (const std::exception& e) {
    return {false, e.what(), adapter.TakeHeld()};
  }
}

std::string BlockLink::PackArchive(const std::vector<ArchiveItem>& items) {
  ScratchFolder work;
  // Each file goes in under its stored name, so the archive holds exactly those names.
  const fs::path files = work.path() / "files";
  fs::create_directories(files);
  for (const ArchiveItem& item : items) {
    fs::copy_file(item.file, files / item.stored_name, fs::copy_options::overwrite_existing);
  }
  const fs::path archive = work.path() / "archive.zip";
  {
    // The archive component's errors are std::system_errors with their code: they go up as
    // they are.
    TZipArchiver zip;
    zip.SetFileName(archive.string());
    zip.OpenZip(kOpenCreate);
    zip.SetBaseDir(files.string());
    zip.Options().StorePath = spRelativePath;
    zip.AddMatching((files / "*.*").string());
    zip.CloseZip();
  }
  return ReadWhole(archive);
}

TransferResult BlockLink::SendArchive(OfficeLine& line, std::string_view archive) {
  LineAdapter adapter(line, clock_);
  const std::string result = SendBlocks(adapter, archive);
  return {TransferSucceeded(result), result, adapter.TakeHeld()};
}

}  // namespace marvolen::office
