#include "call/Admission.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "call/CallState.h"
#include "call/ScriptSteps.h"
#include "platform/CodePage.h"
#include "platform/FileNames.h"
#include "records/OfficeParamFile.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

bool HasExtension(std::string_view name, std::string_view ext) {
  return name.size() > ext.size() && name[name.size() - ext.size() - 1] == '.' &&
         EqualsNoCase(name.substr(name.size() - ext.size()), ext);
}

// Names of the regular files of `dir` that `keep` accepts, sorted by name ignoring case (ties
// in byte order). A missing or unreadable directory has none.
template <typename Keep>
std::vector<std::string> SortedFiles(const fs::path& dir, Keep keep) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ignored;
    std::string name = it->path().filename().string();
    if (it->is_regular_file(ignored) && keep(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const std::string fa = FoldCase(a), fb = FoldCase(b);
    return fa != fb ? fa < fb : a < b;
  });
  return names;
}

int32_t IntParam(const std::string& text, std::string_view key) {
  try {
    return StrToInt(text);
  } catch (const ConversionError& e) {
    throw ConversionError(e.text(), "parámetro \"" + std::string(key) + "\" de la oficina");
  }
}

int32_t ReadIntParam(OfficeParamAccess& params, std::string_view key) {
  return IntParam(params.ReadOfficeParam(key), key);
}

// The password test: group i of the line is the byte (Windows-1252) of character i of the
// stored password, which the parameter file keeps blank-padded. The stored text goes back to
// the very bytes of the file, the five bytes Windows-1252 leaves undefined included; a
// character with no byte matches nothing (it would read as '?').
bool PasswordMatches(const IdentFields& ident, const std::string& stored_utf8) {
  const Converted converted = Utf8ToAnsiExact(stored_utf8);
  if (!converted.exact) return false;
  std::string stored = converted.text;
  if (stored.size() < 5) stored.resize(5, ' ');
  for (int i = 1; i <= 5; ++i) {
    if (ident.PasswordGroup(i) != static_cast<unsigned char>(stored[i - 1])) return false;
  }
  return true;
}

struct OfficeParams {
  std::string password;
  std::string stored_id;
};

// Reads the office's parameters in the file's fixed order into `r`.
OfficeParams ReadParams(OfficeParamAccess& params, bool feature_flag_blank, AdmissionResult& r) {
  OfficeParams p;
  p.password = params.ReadOfficeParam("password");
  AdmittedOffice& office = r.office;
  office.DayFirst = ReadIntParam(params, "inicio *.daw");
  office.DayLast = ReadIntParam(params, "ultimo *.daw");
  r.CheckDeviceId = ReadIntParam(params, "Check_Id");
  p.stored_id = params.ReadOfficeParam("Id");
  r.UpgradeEnabled = ReadIntParam(params, "UpGrade");
  // Only the low byte is kept, as a signed 8-bit count.
  office.RetryCount = static_cast<int8_t>(static_cast<uint8_t>(ReadIntParam(params, "Reintentos")));
  office.RetryPeriod = ReadIntParam(params, "PeriodoReintentos");
  if (!feature_flag_blank) office.SyncClock = ReadIntParam(params, "Synchronize");
  return p;
}

// Device pinning: an identifier on record must be the one reported; with none on record the
// reported one is stored (by the caller), so the office is tied to that device from now on.
// Both compare and store the raw bytes, as for the password.
enum class DeviceCheck { kMatches, kDiffers, kNoneOnRecord };

DeviceCheck CheckDevice(const IdentFields& ident, const std::string& stored_utf8) {
  const Converted stored = Utf8ToAnsiExact(stored_utf8);
  if (stored.text.find_last_not_of(' ') == std::string::npos) return DeviceCheck::kNoneOnRecord;
  return stored.exact && stored.text.substr(0, 8) == ident.DeviceId() ? DeviceCheck::kMatches
                                                                      : DeviceCheck::kDiffers;
}

enum class OfficeLockOutcome { kLocked, kBusy, kFailed, kNoDirectory };

// Takes the office's call lock without waiting. Any failure to take it is shown and logged,
// and refuses the call: an office served unlocked could be in two calls at once. Another line
// holding it is left to the caller, which says so only to a caller that may know. With
// `directory_may_be_missing`, a missing office directory is left to the parameter file, whose
// error names what is missing.
OfficeLockOutcome LockOffice(AdmissionResult& r, const AdmissionSetup& setup,
                             bool directory_may_be_missing) {
  const fs::path path = r.office.OfficeDir / kOfficeLockFile;
  std::error_code error;
  std::optional<FileLock> lock = FileLock::TryAcquire(path, error);
  if (lock) {
    r.OfficeLock = std::make_shared<FileLock>(std::move(*lock));
    return OfficeLockOutcome::kLocked;
  }
  if (error == std::errc::operation_would_block) return OfficeLockOutcome::kBusy;
  std::error_code ec;
  if (directory_may_be_missing &&
      (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) &&
      !fs::is_directory(r.office.OfficeDir, ec))
    return OfficeLockOutcome::kNoDirectory;
  r.RefusalDetail = path.string() + ": " + FileLock::ErrorText(error);
  const std::string line = kOfficeLockFailedLine + r.RefusalDetail;
  setup.view(line);
  setup.activity(line);
  return OfficeLockOutcome::kFailed;
}

// The refusal of a caller of an office that another line is serving. That the office is busy
// is told only to a caller that passes the password and device checks: anyone else is refused
// as at a free office and learns nothing of the office's calls. The parameters are only read,
// never created or written (an identifier not on record yet is not stored): the office's files
// are the other line's until its call ends.
Refusal RefuseBusyOffice(const IdentFields& ident, OfficeParamAccess& params,
                         const AdmissionSetup& setup) {
  if (!PasswordMatches(ident, params.ReadExistingOfficeParam("password")))
    return Refusal::kPassword;
  if (IntParam(params.ReadExistingOfficeParam("Check_Id"), "Check_Id") != 0 &&
      CheckDevice(ident, params.ReadExistingOfficeParam("Id")) == DeviceCheck::kDiffers)
    return Refusal::kDeviceId;
  setup.view(kOfficeBusyLine);
  setup.activity(kOfficeBusyLine);
  return Refusal::kOfficeBusy;
}

bool NoDirectory(std::error_code code) {
  return code == std::errc::no_such_file_or_directory || code == std::errc::not_a_directory;
}

class StationParamFile : public OfficeParamAccess {
 public:
  explicit StationParamFile(const std::string& office_dir) : file_(office_dir) {}
  // A key that selects nothing reads as an empty text.
  std::string ReadOfficeParam(std::string_view key) override {
    return file_.ReadOfficeParam(key).value_or("");
  }
  void WriteOfficeParam(std::string_view key, std::string_view value) override {
    static_cast<void>(file_.WriteOfficeParam(key, value));
  }
  std::string ReadExistingOfficeParam(std::string_view key) override {
    return file_.ReadExistingOfficeParam(key).value_or("");
  }

 private:
  OfficeParamFile file_;
};

}  // namespace

std::unique_ptr<OfficeParamAccess> OpenOfficeParamFile(const std::string& office_dir) {
  return std::make_unique<StationParamFile>(office_dir);
}

void StoreAdmission(const AdmissionResult& r, CallState& state) {
  state.IdentLine = r.IdentLine;
  state.TableExt = r.TableExt;
  if (!r.Admitted()) return;
  state.Office = r.office;
  state.OfficeLock = r.OfficeLock;
  state.LineState = kStateConnected;
  state.ScriptStep = script::kTables;
}

SurveyResult SurveyOfficeFiles(const std::string& office_dir, TableKind table_ext,
                               const std::string& work_dir, std::string_view office_tag,
                               bool with_upgrades, const fs::path* upgrades_dir) {
  SurveyResult survey;
  // The ".cos" files of a "tab" office only follow its ".tab" files: an office without a
  // single ".tab" file has no tables at all.
  for (std::string_view ext : table_ext.TableExtensions()) {
    const auto names =
        SortedFiles(office_dir, [ext](const std::string& n) { return HasExtension(n, ext); });
    if (names.empty() && survey.entries.empty()) return survey;
    for (const std::string& name : names) {
      if (survey.entries.size() == kMaxSurveyEntries) break;
      survey.entries.push_back({UpperAscii(name), ByteSum(office_dir + "/" + name)});
    }
  }
  survey.tables = survey.entries.size();
  if (survey.tables == 0 || !with_upgrades) return survey;

  const fs::path upgrades = upgrades_dir ? *upgrades_dir : ResolveNoCase(work_dir + "upgrades");
  const auto names = SortedFiles(
      upgrades, [office_tag](const std::string& n) { return IsUpgradeName(n, office_tag); });
  for (const std::string& name : names) {
    if (survey.entries.size() == kMaxSurveyEntries) break;
    std::error_code ec;
    const auto size = fs::file_size(upgrades / name, ec);
    if (ec) continue;  // vanished since the listing
    survey.entries.push_back({UpperAscii(name), static_cast<int32_t>(static_cast<uint32_t>(size))});
  }
  return survey;
}

AdmissionResult AdmitOffice(std::string_view line, TableKind table_ext,
                            const AdmissionSetup& setup) {
  AdmissionResult r;
  const IdentFields ident{std::string(line)};
  r.IdentLine = ident.Text();
  r.TableExt = table_ext;
  setup.view(ident.OfficeLine());

  if (!ident.HalvesMatch()) {
    r.refusal = Refusal::kHalvesDiffer;
    return r;
  }
  r.TableExt = ident.TableExt();
  const std::string summary = ident.SummaryLine();
  setup.activity(summary);
  setup.view(summary);

  AdmittedOffice& office = r.office;
  office.OfficeNumber = ident.OfficeNumber();
  if (office.OfficeNumber < 1 || office.OfficeNumber > 9999) {
    r.refusal = Refusal::kOfficeNumber;
    return r;
  }
  // An office directory made as "LOC07" (or copied from a system that ignores letter case)
  // is the office's directory all the same.
  office.OfficeDir = ResolveNoCase(OfficeDirFor(setup.WorkDir, office.OfficeNumber));
  office.OfficeTag = OfficeTagFor(office.OfficeNumber);
  // Before its parameter file is read (device pinning writes it) and anything is staged.
  OfficeLockOutcome lock = LockOffice(r, setup, true);
  if (lock == OfficeLockOutcome::kFailed) {
    r.refusal = Refusal::kLockFailed;
    return r;
  }
  const std::unique_ptr<OfficeParamAccess> params = setup.open_params(office.OfficeDir.string());
  if (lock == OfficeLockOutcome::kBusy) {
    r.refusal = RefuseBusyOffice(ident, *params, setup);
    return r;
  }
  const bool feature_blank = ident.FeatureFlagBlank();
  OfficeParams stored;
  try {
    stored = ReadParams(*params, feature_blank, r);
  } catch (const OfficeParamError& e) {
    // No directory for the office: a number the station does not serve, refused as any
    // caller it does not let in. The operator reads the parameter file's error as before.
    std::error_code ec;
    if (lock != OfficeLockOutcome::kNoDirectory || !NoDirectory(e.code()) ||
        fs::is_directory(office.OfficeDir, ec))
      throw;
    r.RefusalDetail = e.what();
    setup.view(kUnknownOfficeLine + r.RefusalDetail);
    r.refusal = Refusal::kUnknownOffice;
    return r;
  }
  // The parameters could be read after all (the directory was made meanwhile): the call goes
  // on only with the lock, taken before anything is written or staged.
  if (lock == OfficeLockOutcome::kNoDirectory) lock = LockOffice(r, setup, false);
  if (lock == OfficeLockOutcome::kBusy) {
    r.refusal = RefuseBusyOffice(ident, *params, setup);
    return r;
  }
  if (lock != OfficeLockOutcome::kLocked) {
    r.refusal = Refusal::kLockFailed;
    return r;
  }

  if (!PasswordMatches(ident, stored.password)) {
    r.refusal = Refusal::kPassword;
    return r;
  }
  if (r.CheckDeviceId != 0) {
    const DeviceCheck device = CheckDevice(ident, stored.stored_id);
    if (device == DeviceCheck::kDiffers) {
      r.refusal = Refusal::kDeviceId;
      return r;
    }
    if (device == DeviceCheck::kNoneOnRecord)
      params->WriteOfficeParam("Id", AnsiToUtf8Exact(ident.DeviceId() + std::string(8, ' ')));
  }

  const bool with_upgrades = !feature_blank && r.UpgradeEnabled != 0;
  SurveyResult survey = SurveyOfficeFiles(office.OfficeDir.string(), r.TableExt, setup.WorkDir,
                                          office.OfficeTag, with_upgrades);
  if (survey.tables == 0) {
    r.refusal = Refusal::kNoTables;
    return r;
  }
  r.TableSurvey = std::move(survey.entries);

  office.DeleteList = CompareWithOfficeList(ident, r.TableExt.HeaderWidth(), r.UpgradeEnabled != 0,
                                            r.TableSurvey, setup.view, setup.activity);
  r.EnvioBuilt = StageAndPack(
      r.TableSurvey, {setup.ExeDir, setup.WorkDir, office.OfficeDir.string(), office.OfficeTag},
      setup.pack, setup.view, setup.activity, *setup.file_ops);
  return r;
}

}  // namespace marvolen
