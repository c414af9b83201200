// The line controller's hand-over of an "Ident=" line to the admission: the office's
// parameters, tables and upgrades are looked at, "envio.zip" is prepared, and the outcome is
// stored in the call state.
#pragma once

#include <string>

#include "call/CallServices.h"

namespace marvolen {

class CallAdmission {
 public:
  CallAdmission(const CallServices& services, const std::string& work_dir);
  // True when the office is admitted (the state then reads "conectado", step 0); false
  // when the call is to be refused. File and conversion errors throw.
  bool Admit(const std::string& line);

 private:
  CallServices s_;
  const std::string& work_dir_;
};

}  // namespace marvolen
