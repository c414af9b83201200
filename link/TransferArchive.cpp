#include "link/TransferArchive.h"

#include "platform/FileNames.h"

#include "zip/ArchiveError.h"
#include "zip/ZipArchiver.h"

namespace marvolen {
namespace {

// Set up as the station reads every archive an office sends.
void PrepareForReading(TZipArchiver& zipper, const std::filesystem::path& archive) {
  zipper.SetTolerateDamage(true);
  zipper.SetFileName(archive.string());
}

// An office's archive is unpacked into its directory on the station, beside the parameter
// file that admits it: no entry may replace that file, whatever its letter case.
bool IsParameterFileName(const std::string& stored_name) {
  const size_t cut = stored_name.find_last_of("/\\");
  const std::string last = cut == std::string::npos ? stored_name : stored_name.substr(cut + 1);
  return EqualsNoCase(last, "MARVOLEN.TCP");
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
    zipper.OnConfirmProcessFile = [log](const std::string& name) {
      if (!IsParameterFileName(name)) return true;
      if (log) log(FailureLogLine(name, "nombre reservado de la estación, no se extrae"));
      return false;
    };
    zipper.OpenZip(kOpenRead);
    zipper.SetBaseDir(dir.string());
    zipper.ExtractMatching("*.*", kStationAttrMask, "");
    zipper.CloseZip();
  };
  return hooks;
}

}  // namespace marvolen
