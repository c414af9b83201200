#include "app/StationArchive.h"

#include "zip/ArchiveError.h"
#include "zip/ZipArchiver.h"

namespace marvolen {

void ReportArchiveFailures(TBaseArchiver& archiver, OperatorWindow& window) {
  // The action is left as the component set it, so the other entries are still processed.
  archiver.OnProcessFileFailure = [&window](TBaseArchiver&, const std::string& name,
                                            TArchiveOperation, int, int,
                                            const std::string& message, TArchiveAction&) {
    window.AddLine(FailureLogLine(name, message));
  };
}

ArchiveHooks StationArchiveHooks(OperatorWindow& window) {
  ArchiveHooks hooks;
  hooks.is_valid = [](const std::filesystem::path& archive) {
    TZipArchiver zip;
    zip.SetFileName(archive.string());
    return zip.IsZipValid();
  };
  hooks.extract = [&window](const std::filesystem::path& archive,
                            const std::filesystem::path& dir) {
    TZipArchiver zip;
    ReportArchiveFailures(zip, window);
    zip.SetFileName(archive.string());
    zip.SetBaseDir(dir.string());
    zip.OpenZip(kOpenRead);
    zip.ExtractMatching("*.*");
    zip.CloseZip();
  };
  return hooks;
}

}  // namespace marvolen
