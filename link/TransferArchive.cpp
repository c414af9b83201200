#include "link/TransferArchive.h"

#include "zip/ArchiveError.h"
#include "zip/ZipArchiver.h"

namespace marvolen {
namespace {

// Set up as the station reads every archive an office sends.
void PrepareForReading(TZipArchiver& zipper, const std::filesystem::path& archive) {
  zipper.SetTolerateDamage(true);
  zipper.SetFileName(archive.string());
}

}  // namespace

ArchiveHooks ZipArchiveHooks(std::function<void(std::string_view)> log) {
  ArchiveHooks hooks;
  hooks.is_valid = [](const std::filesystem::path& archive) {
    TZipArchiver zipper;
    PrepareForReading(zipper, archive);
    return zipper.IsZipValid();
  };
  hooks.extract = [log](const std::filesystem::path& archive, const std::filesystem::path& dir) {
    TZipArchiver zipper;
    PrepareForReading(zipper, archive);
    // One member that fails is reported and left out; the others are still unpacked.
    zipper.OnProcessFileFailure = [log](TBaseArchiver&, const std::string& name, TArchiveOperation,
                                        int, int, const std::string& message, TArchiveAction&) {
      if (log) log(FailureLogLine(name, message));
    };
    zipper.OpenZip(kOpenRead);
    zipper.SetBaseDir(dir.string());
    zipper.ExtractMatching("*.*", kStationAttrMask, "");
    zipper.CloseZip();
  };
  return hooks;
}

}  // namespace marvolen
