#include "call/CallAdmission.h"

#include <filesystem>

#include "call/Admission.h"
#include "call/Distribution.h"
#include "platform/FileNames.h"
#include "zip/ArchiveError.h"
#include "zip/ZipArchiver.h"

namespace marvolen {

namespace {

// A file that cannot be packed is reported and left out; the others still go.
void ReportPackingFailures(TZipArchiver& zipper, OperatorWindow& window) {
  zipper.OnProcessFileFailure = [&window](TBaseArchiver&, const std::string& name,
                                          TArchiveOperation, int, int, const std::string& message,
                                          TArchiveAction&) {
    window.AddLine(FailureLogLine(name, message));
  };
}

CallReason ReasonOf(Refusal refusal) {
  switch (refusal) {
    case Refusal::kNone:
      return CallReason::kNone;
    case Refusal::kHalvesDiffer:
      return CallReason::kHalvesDiffer;
    case Refusal::kOfficeNumber:
      return CallReason::kBadOfficeNumber;
    case Refusal::kPassword:
      return CallReason::kWrongPassword;
    case Refusal::kDeviceId:
      return CallReason::kDeviceMismatch;
    case Refusal::kNoTables:
      return CallReason::kNoTables;
    case Refusal::kOfficeBusy:
      return CallReason::kInCallOnOtherLine;
    case Refusal::kLockFailed:
      return CallReason::kLockFailed;
    case Refusal::kUnknownOffice:
      return CallReason::kUnknownOffice;
  }
  return CallReason::kNone;
}

// The size of each file that went into "envio.zip", as staged in the station home.
void NoteFilesSent(const AdmissionResult& result, const std::string& exe_dir,
                   CallObserver& events) {
  namespace fs = std::filesystem;
  for (const SurveyEntry& entry : DeliveryOf(result.TableSurvey)) {
    const bool table = IsTableName(entry.name);
    const auto staged =
        FindNoCase(ResolveNoCase(fs::path(exe_dir) / (table ? "tablas" : "upgrade")), entry.name);
    std::error_code ec;
    const auto bytes = staged ? fs::file_size(*staged, ec) : 0;
    events.FileSent(entry.name, table ? "table" : "upgrade", ec ? 0 : bytes);
  }
}

}  // namespace

CallAdmission::CallAdmission(const CallServices& services, const std::string& work_dir,
                             const FileOps& file_ops)
    : s_(services), work_dir_(work_dir), file_ops_(file_ops) {}

CallReason CallAdmission::Admit(const std::string& line) {
  // The activity log's office field comes from the line from here on.
  s_.state.IdentLine = line;
  s_.window.SetPanel(1, "");
  s_.window.SetPanel(3, "");

  AdmissionSetup setup;
  setup.WorkDir = work_dir_;
  setup.ExeDir = s_.exe_dir.string();
  if (!setup.ExeDir.empty() && setup.ExeDir.back() != '/') setup.ExeDir += '/';
  setup.view = [this](std::string_view text) { s_.window.AddLine(text); };
  setup.activity = [this](std::string_view text) { s_.log_event(text); };
  setup.file_ops = &file_ops_;
  setup.pack = [this](const std::string& exe_dir, const FileOps& ops) {
    TZipArchiver zipper("Zipper1", nullptr, &ops);
    ReportPackingFailures(zipper, s_.window);
    PackEnvio(zipper, exe_dir);
  };
  s_.events().Identified(line, s_.state.TableExt);
  const AdmissionResult result = AdmitOffice(line, s_.state.TableExt, setup);
  StoreAdmission(result, s_.state);
  if (!result.RefusalDetail.empty()) s_.events().Detail(result.RefusalDetail);
  if (result.Admitted()) s_.events().Admitted();
  if (result.EnvioBuilt) NoteFilesSent(result, setup.ExeDir, s_.events());
  return ReasonOf(result.refusal);
}

}  // namespace marvolen
