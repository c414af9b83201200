// Admission of a calling office: from its "Ident=" line to either an admitted call, with
// everything the call script needs, or a refusal (the caller then runs RefuseCall). It also
// surveys the station's files for the office and prepares the delivery of tables and
// upgrades, so that the script can start at its first step on the next tick.
//
// Errors that end the tick (a password group or a parameter value that is not a number, an
// office list value that is not a number, an unreadable table file, the parameter file's own
// failures) are thrown; refusals are results, an office number without a directory among them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "call/CallState.h"
#include "call/Distribution.h"
#include "call/IdentLine.h"
#include "platform/FileLock.h"

namespace marvolen {

// The office's parameter file as admission uses it. Values are texts (UTF-8): numbers in
// decimal, the 16-character "password" and "Id" slots blanks included.
class OfficeParamAccess {
 public:
  virtual ~OfficeParamAccess() = default;
  virtual std::string ReadOfficeParam(std::string_view key) = 0;
  virtual void WriteOfficeParam(std::string_view key, std::string_view value) = 0;
  // As ReadOfficeParam, but nothing is created or changed: for an office another line serves.
  // A missing file throws.
  virtual std::string ReadExistingOfficeParam(std::string_view key) = 0;
};
// Opens the parameter file of the office directory given (no trailing "/").
using OfficeParamOpener =
    std::function<std::unique_ptr<OfficeParamAccess>(const std::string& office_dir)>;
// The station's own: the office's "MARVOLEN.TCP", created with the default values when
// missing; its failures (office directory missing, file unreadable) throw OfficeParamError.
std::unique_ptr<OfficeParamAccess> OpenOfficeParamFile(const std::string& office_dir);

struct AdmissionSetup {
  std::string WorkDir;  // ending in "/"
  std::string ExeDir;   // station home, ending in "/"
  OfficeParamOpener open_params = OpenOfficeParamFile;
  LineSink view;                               // the log view mm1
  LineSink activity;                           // ActivityLog::LogEvent
  EnvioPacker pack = PackEnvioZip;             // builds envio.zip in ExeDir
  const FileOps* file_ops = &SystemFileOps();  // the staging's file operations
};

enum class Refusal {
  kNone,
  kHalvesDiffer,
  kOfficeNumber,
  kPassword,
  kDeviceId,
  kNoTables,
  kOfficeBusy,     // another line is in a call with this office (told only to a caller
                   // that passed the password and device checks)
  kLockFailed,     // the office's lock could not be taken (RefusalDetail says why)
  kUnknownOffice,  // no office directory for the number (RefusalDetail says what failed)
};

// The lock file in an office's directory that the line serving the office holds from its
// admission to the end of the call, so that several stations sharing the working directory
// never serve one office at the same time.
inline constexpr char kOfficeLockFile[] = ".marvolen-call.lock";
inline constexpr char kOfficeBusyLine[] = "Oficina en comunicación por otra línea";
// Followed by the lock file's path and why it could not be locked.
inline constexpr char kOfficeLockFailedLine[] = "*ERROR Bloqueo de la oficina: ";
// Followed by the parameter file's error: the line operators have always seen for an office
// number the station has no directory for.
inline constexpr char kUnknownOfficeLine[] = "ERROR PROGRAMA: ";

struct AdmissionResult {
  Refusal refusal = Refusal::kNone;
  bool Admitted() const { return refusal == Refusal::kNone; }
  // For the call's record: the lock file and the error, when the lock could not be taken;
  // the parameter file's error for an unknown office.
  std::string RefusalDetail;

  // Always set, also on a refusal: TableExt carries over to the next call.
  std::string IdentLine;  // the line's raw bytes (Windows-1252)
  TableKind TableExt;

  // Set as far as admission got; the call state takes it only when the office is admitted.
  AdmittedOffice office;
  int32_t CheckDeviceId = 0;
  int32_t UpgradeEnabled = 0;
  SurveyEntries TableSurvey;  // after the comparison: up-to-date files hold kUpToDate
  bool EnvioBuilt = false;
  // Held from the office number on (an office is never admitted without it); empty on a
  // refusal before it was taken. Shared so that the call state keeps it after the result is
  // gone; the last holder releases it.
  std::shared_ptr<FileLock> OfficeLock;
};

// Admits or refuses the office that sent `line` (raw bytes up to CR, control bytes 8, 10,
// 11 and 12 removed). `table_ext` is the TableExt left by the previous call ("tbl" after
// start-up). The caller sets its IdentLine to `line` and clears the status bar's packet
// counts before calling: activity log lines written during admission carry this office.
AdmissionResult AdmitOffice(std::string_view line, TableKind table_ext,
                            const AdmissionSetup& setup);

// Hands the outcome to the call state the controller and the script share: the line and the
// table kind always; on admission also the admitted office, "conectado" at the script's first
// step, and the office's lock, which the call state holds until the line is reset.
void StoreAdmission(const AdmissionResult& result, CallState& state);

// The station's files for an office, in a fixed order (directory listings are sorted by name
// ignoring case, so that a call does not depend on the file system's order): the tables
// ("*.tbl", or "*.tab" then "*.cos") with their byte sums, then, when `with_upgrades`, the
// upgrades in `work_dir` + "upgrades" meant for this office with their sizes; at most
// kMaxSurveyEntries. A caller surveying many offices finds "upgrades" in its letter case once
// and gives it as `upgrades_dir`. Throws FileError when a table cannot be read.
struct SurveyResult {
  SurveyEntries entries;
  size_t tables = 0;
};
SurveyResult SurveyOfficeFiles(const std::string& office_dir, TableKind table_ext,
                               const std::string& work_dir, std::string_view office_tag,
                               bool with_upgrades,
                               const std::filesystem::path* upgrades_dir = nullptr);

}  // namespace marvolen
