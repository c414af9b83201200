// The line controller's hand-over of an "Ident=" line to the admission: the office's
// parameters, tables and upgrades are looked at, "envio.zip" is prepared, and the outcome is
// stored in the call state.
#pragma once

#include <string>

#include "call/CallServices.h"
#include "platform/FileOps.h"

namespace marvolen {

class CallAdmission {
 public:
  // The staging of "envio.zip" writes through `file_ops`, which must outlive the admission.
  CallAdmission(const CallServices& services, const std::string& work_dir, const FileOps& file_ops);
  // kNone when the office is admitted (the state then reads "conectado", step 0); else why
  // the call is to be refused. File and conversion errors throw.
  CallReason Admit(const std::string& line);

 private:
  CallServices s_;
  const std::string& work_dir_;
  const FileOps& file_ops_;
};

}  // namespace marvolen
