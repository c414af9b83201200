// marvolen-zip: the archive component on the command line, so that a person can look at
// "envio.zip" and "recibo.zip" and tests can drive the component as the station does.
//
//   marvolen-zip create ARCHIVE MASK...   pack what the masks select below the current
//                                         directory ("tablas/*.*")
//   marvolen-zip list ARCHIVE             one line per entry
//   marvolen-zip test ARCHIVE             exit 0 when every entry decodes with its CRC
//   marvolen-zip extract ARCHIVE          unpack into the current directory
//
// Each file that fails is reported on standard error with the operator window's
// "ERROR de descompresión:" line, and the exit status is 1; an archive that cannot be
// opened or built at all gives its error text and status 2 (usage errors too).
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ProgramInfo.h"
#include "platform/ShownText.h"
#include "zip/ZipArchiver.h"

namespace marvolen {
namespace {

constexpr int kExitFailedEntries = 1;
constexpr int kExitArchiveError = 2;

constexpr char kUsage[] =
    "Usage: marvolen-zip create ARCHIVE MASK...\n"
    "  or:  marvolen-zip list ARCHIVE\n"
    "  or:  marvolen-zip test ARCHIVE\n"
    "  or:  marvolen-zip extract ARCHIVE\n"
    "The station's archive component: create (in the base directory, masks like\n"
    "tablas/*.*), list, test (exit 0 when valid) or extract into the current directory.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return kExitArchiveError;
}

// Names and comments come from whoever wrote the archive: control bytes are shown escaped
// and a NUL does not cut the line.
void PrintShown(std::FILE* out, std::string_view text) {
  const std::string shown = ShownText(text);
  std::fwrite(shown.data(), 1, shown.size(), out);
  std::fputc('\n', out);
}

// Reports every failed file on standard error and counts them.
void ReportFailures(TZipArchiver& zip, int& failures) {
  zip.OnProcessFileFailure = [&failures](TBaseArchiver&, const std::string& file_name,
                                         TArchiveOperation, int, int, const std::string& message,
                                         TArchiveAction&) {
    ++failures;
    PrintShown(stderr, FailureLogLine(file_name, message));
  };
}

int Create(const std::string& archive, const std::vector<std::string>& masks) {
  TZipArchiver zip;
  int failures = 0;
  ReportFailures(zip, failures);
  try {
    zip.SetFileName(archive);
    zip.OpenZip(kOpenCreate);
    zip.SetBaseDir("");
    zip.Options().StorePath = spRelativePath;
    for (const std::string& mask : masks) zip.AddMatching(mask, kStationAttrMask, "");
    zip.CloseZip();
  } catch (const std::exception& e) {
    // As the station does: a failed build leaves no archive behind.
    PrintShown(stderr, e.what());
    zip.CloseZip();
    std::remove(archive.c_str());
    return kExitArchiveError;
  }
  return failures > 0 ? kExitFailedEntries : 0;
}

const char* MethodName(uint16_t method) {
  switch (method) {
    case 0:
      return "Stored";
    case 8:
      return "Defl";
    default:
      return "Other";
  }
}

int List(const std::string& archive) {
  TZipArchiver zip;
  try {
    zip.SetFileName(archive);
    zip.OpenZip(kOpenRead);
  } catch (const std::exception& e) {
    PrintShown(stderr, e.what());
    return kExitArchiveError;
  }
  std::printf("    Length  Method        Size  CRC-32    Date        Time      Attr  Name\n");
  uint64_t total = 0;
  for (size_t i = 0; i < zip.Count(); ++i) {
    const EntryRecord& e = zip.Entry(i);
    const CentralHeader& h = e.header;
    std::printf("%10llu  %-6s  %10llu  %08x  %02d-%02d-%04d  %02d:%02d:%02d  %04x  %s\n",
                static_cast<unsigned long long>(h.uncompressed_size), MethodName(h.method),
                static_cast<unsigned long long>(h.compressed_size), h.crc32, h.date & 0x1F,
                (h.date >> 5) & 0x0F, 1980 + (h.date >> 9), h.time >> 11, (h.time >> 5) & 0x3F,
                (h.time & 0x1F) * 2, h.external_attributes & 0xFFFF,
                ShownText(e.StoredName).c_str());
    total += h.uncompressed_size;
  }
  std::printf("%10llu  %zu entries\n", static_cast<unsigned long long>(total), zip.Count());
  if (!zip.ArchiveComment().empty()) PrintShown(stdout, zip.ArchiveComment());
  return 0;
}

int Test(const std::string& archive) {
  TZipArchiver zip;
  int failures = 0;
  ReportFailures(zip, failures);
  zip.SetFileName(archive);
  if (!zip.IsZipValid()) {
    std::fprintf(stderr, "%s: falta el registro final del ZIP al final del archivo\n",
                 archive.c_str());
    return kExitFailedEntries;
  }
  try {
    zip.OpenZip(kOpenRead);
    zip.TestMatching("*.*", kStationAttrMask, "");
  } catch (const std::exception& e) {
    PrintShown(stderr, e.what());
    return kExitFailedEntries;
  }
  if (failures > 0) return kExitFailedEntries;
  std::printf("%s: %zu entries OK\n", archive.c_str(), zip.Count());
  return 0;
}

int Extract(const std::string& archive) {
  TZipArchiver zip;
  int failures = 0;
  ReportFailures(zip, failures);
  try {
    zip.SetFileName(archive);
    zip.SetTolerateDamage(true);
    zip.OpenZip(kOpenRead);
    zip.SetBaseDir("");
    zip.ExtractMatching("*.*", kStationAttrMask, "");
    zip.CloseZip();
  } catch (const std::exception& e) {
    PrintShown(stderr, e.what());
    return kExitArchiveError;
  }
  return failures > 0 ? kExitFailedEntries : 0;
}

}  // namespace
}  // namespace marvolen

int main(int argc, char** argv) {
  using namespace marvolen;
  if (const auto status = AnswerInfoOption(argc, argv, "marvolen-zip", kUsage)) return *status;
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::string archive = argv[2];
  if (command == "create" && argc >= 4) {
    return Create(archive, std::vector<std::string>(argv + 3, argv + argc));
  }
  if (argc != 3) return Usage();
  if (command == "list") return List(archive);
  if (command == "test") return Test(archive);
  if (command == "extract") return Extract(archive);
  return Usage();
}
