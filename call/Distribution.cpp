#include "call/Distribution.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "platform/CodePage.h"
#include "platform/FileNames.h"
#include "platform/FileOps.h"
#include "zip/ZipArchiver.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

// The office will run "DEL tablas\" + name: a name that is empty or reaches out of that
// directory would have it delete something other than one of its tables or upgrades.
bool SafeToDelete(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("\\/:") == std::string_view::npos;
}

// What to delete on the office for a reported file the station does not hold: a table by the
// extension probe (a dot where a padded name has its extension), else an upgrade.
std::string DeletionFor(const OfficeFileEntry& entry, bool upgrade_enabled) {
  const bool table_probe =
      !entry.probe.empty() && entry.probe[0] == '.' && UpperAscii(entry.probe) != ".UPG";
  if (table_probe) return "tablas\\" + entry.name;
  if (upgrade_enabled) return "upgrade\\" + entry.name;
  return {};
}

// Removes the entries of `dir` that `remove` accepts and are no directories (links to one
// included); what cannot be removed stays.
template <typename Accept>
void RemoveFilesIn(const FileOps& ops, const fs::path& dir, Accept remove) {
  std::error_code ec;
  const auto names = ListNames(ops, dir.string(), ec);
  if (!names) return;
  for (const std::string& name : *names) {
    if (!remove(name)) continue;
    const std::string path = (dir / name).string();
    const auto facts = LookAt(ops, path, Links::kFollow, ec);
    if (!facts || !facts->directory) ops.unlink(path.c_str());
  }
}

void RemoveFilesIn(const FileOps& ops, const fs::path& dir) {
  RemoveFilesIn(ops, dir, [](const std::string&) { return true; });
}

// Removes "envio.zip" in any letter case.
void RemoveEnvio(const FileOps& ops, const fs::path& exe_dir) {
  RemoveFilesIn(ops, exe_dir,
                [](const std::string& name) { return EqualsNoCase(name, "envio.zip"); });
}

// A file that cannot be copied is simply missing from the delivery. The copy's path, or empty.
fs::path CopyQuietly(const FileOps& ops, const fs::path& from_dir, const std::string& name,
                     const fs::path& to_dir) {
  const auto source = FindNoCase(from_dir, name);
  if (!source) return {};
  return CopyFile(ops, source->string(), (to_dir / name).string()) ? fs::path() : to_dir / name;
}

// Whether a staged copy still is the file surveyed: a table by its byte sum, an upgrade by
// its size.
bool StillAsSurveyed(const FileOps& ops, const fs::path& copy, const SurveyEntry& entry,
                     bool table) {
  if (table) {
    try {
      return ByteSum(copy.string(), ops) == entry.value;
    } catch (const FileError&) {
      return false;
    }
  }
  std::error_code ec;
  const auto facts = LookAt(ops, copy.string(), Links::kFollow, ec);
  return facts && static_cast<uint32_t>(facts->size) == static_cast<uint32_t>(entry.value);
}

}  // namespace

int32_t ByteSum(const std::string& path) {
  return ByteSum(path, SystemFileOps());
}

int32_t ByteSum(const std::string& path, const FileOps& ops) {
  FileReader in(path, "No se puede leer la tabla " + path, ops);
  uint32_t sum = 0;
  char buffer[65536];
  for (size_t got; (got = in.Read(buffer, sizeof buffer)) > 0;) {
    for (size_t i = 0; i < got; ++i) sum += static_cast<unsigned char>(buffer[i]);
  }
  return static_cast<int32_t>(sum);
}

bool IsUpgradeName(std::string_view name, std::string_view office_tag) {
  const Converted ansi = ConvertText(name, CodePage::Utf8, CodePage::Cp1252);
  if (!ansi.exact || ansi.text.size() != 12) return false;
  const std::string tail = ansi.text.substr(8, 4);
  return tail == office_tag || UpperAscii(tail) == ".UPG";
}

void PackEnvio(TZipArchiver& zipper, const std::string& exe_dir) {
  // Named from the station home rather than the current directory, so that the archive
  // does not depend on where the process happens to stand.
  zipper.SetFileName(exe_dir + "envio.zip");
  zipper.OpenZip(kOpenCreate);
  try {
    zipper.SetBaseDir(exe_dir);
    zipper.Options().StorePath = spRelativePath;
    zipper.AddMatching("tablas/*.*", kStationAttrMask, "");
    zipper.AddMatching("upgrade/*.*", kStationAttrMask, "");
    zipper.CloseZip();
  } catch (...) {
    // Let go of the file before the caller removes it; the first error is the one to report.
    try {
      zipper.CloseZip();
    } catch (...) {
    }
    throw;
  }
}

void PackEnvioZip(const std::string& exe_dir, const FileOps& ops) {
  TZipArchiver zipper("Zipper1", nullptr, &ops);
  PackEnvio(zipper, exe_dir);
}

bool IsTableName(std::string_view name) {
  if (name.size() < 4 || name[name.size() - 4] != '.') return false;
  return UpperAscii(name.substr(name.size() - 4)) != ".UPG";
}

std::string CompareOfficeFiles(const std::vector<OfficeFileEntry>& files, bool upgrade_enabled,
                               SurveyEntries& survey) {
  std::string delete_list;
  for (const OfficeFileEntry& entry : files) {
    const std::string name = AnsiToUtf8Exact(entry.name);
    bool known = false;
    for (SurveyEntry& ours : survey) {
      if (ours.name != name) continue;
      known = true;
      if (ours.value == entry.value) {
        ours.value = kUpToDate;
        break;
      }
    }
    if (known || !delete_list.empty() || !SafeToDelete(entry.name)) continue;
    delete_list = DeletionFor(entry, upgrade_enabled);
  }
  return delete_list;
}

std::string CompareWithOfficeList(const IdentFields& ident, int header_width, bool upgrade_enabled,
                                  SurveyEntries& survey, const LineSink& view,
                                  const LineSink& activity) {
  const std::vector<OfficeFileEntry> files = ident.OfficeFiles(header_width);
  std::string summary = "Tablas: ";
  for (const OfficeFileEntry& entry : files) summary += " " + AnsiToUtf8Exact(entry.name);
  std::string delete_list = CompareOfficeFiles(files, upgrade_enabled, survey);
  activity(summary);
  view(summary);
  return delete_list;
}

std::vector<SurveyEntry> DeliveryOf(const SurveyEntries& survey) {
  std::vector<SurveyEntry> out;
  for (size_t p = 0; p < survey.size() && p < kMaxSurveyEntries; ++p) {
    // An empty table (value 0) is left out; the entries after it still go.
    if (survey[p].value != 0 && survey[p].value != kUpToDate) out.push_back(survey[p]);
  }
  return out;
}

bool StageAndPack(const SurveyEntries& survey, const StagingPlaces& places, const EnvioPacker& pack,
                  const LineSink& view, const LineSink& activity, const FileOps& ops) {
  const fs::path exe_dir(places.exe_dir);
  // The staging directories and "upgrades" are whatever letter case they were made in.
  const fs::path tablas = ResolveNoCase(exe_dir / "tablas");
  const fs::path upgrade = ResolveNoCase(exe_dir / "upgrade");
  const fs::path upgrades = ResolveNoCase(places.work_dir + "upgrades");
  MakeDirectories(ops, tablas.string());
  MakeDirectories(ops, upgrade.string());
  RemoveFilesIn(ops, tablas);
  RemoveFilesIn(ops, upgrade);

  // Only used entries are held, so a value of 0 is a file of 0 bytes (or of NUL bytes only).
  // Taking it for the end of the list would hold back every file surveyed after it, call
  // after call; it is left out alone, and the operator told why.
  for (size_t p = 0; p < survey.size() && p < kMaxSurveyEntries; ++p) {
    if (survey[p].value != 0) continue;
    const std::string note = "Tabla vacía, no se envía: " + survey[p].name;
    view(note);
    activity(note);
  }
  const std::vector<SurveyEntry> delivery = DeliveryOf(survey);
  size_t changed = 0;
  for (const SurveyEntry& entry : delivery) {
    const bool table = IsTableName(entry.name);
    fs::path copy;
    if (table) {
      copy = CopyQuietly(ops, places.office_dir, entry.name, tablas);
    } else if (IsUpgradeName(entry.name, places.office_tag)) {
      copy = CopyQuietly(ops, upgrades, entry.name, upgrade);
    }
    if (copy.empty() || StillAsSurveyed(ops, copy, entry, table)) continue;
    ops.unlink(copy.c_str());
    ++changed;
    const std::string note =
        "Archivo modificado durante la preparación, no se envía: " + entry.name;
    view(note);
    activity(note);
  }
  const bool pending = delivery.size() > changed;

  RemoveEnvio(ops, exe_dir);
  if (!pending) return false;
  try {
    pack(places.exe_dir, ops);
    return true;
  } catch (const std::exception& e) {
    // Without envio.zip the office is told its tables are up to date and gets them at a
    // later call; the operator should still see why nothing went out this time.
    RemoveEnvio(ops, exe_dir);
    view(std::string("No se pudo armar envio.zip: ") + e.what());
    return false;
  }
}

}  // namespace marvolen
