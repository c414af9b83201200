#include "call/CallAdmission.h"

#include "call/Admission.h"
#include "call/Distribution.h"
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

}  // namespace

CallAdmission::CallAdmission(const CallServices& services, const std::string& work_dir)
    : s_(services), work_dir_(work_dir) {}

bool CallAdmission::Admit(const std::string& line) {
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
  setup.pack = [this](const std::string& exe_dir) {
    TZipArchiver zipper;
    ReportPackingFailures(zipper, s_.window);
    PackEnvio(zipper, exe_dir);
  };
  const AdmissionResult result = AdmitOffice(line, s_.state.TableExt, setup);
  StoreAdmission(result, s_.state);
  return result.Admitted();
}

}  // namespace marvolen
