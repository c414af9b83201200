// The fixed script an admitted office is led through, one step per tick: tables and upgrades
// out, an unused table deleted, traffic and day files in, the clock set, success announced,
// the office dismissed. Each command waits for the office's echo (answered with the go token
// or a file transfer) and its acknowledgement (which moves the script on).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "app/CallServices.h"

namespace marvolen {

class LineController;

class SupervisionScript {
 public:
  // Stores one value in the admitted office's parameter file.
  using ParamWriter = std::function<void(const std::string& key, const std::string& value)>;

  SupervisionScript(const CallServices& services, ParamWriter write_param);

  // One tick in "conectado": the step `ScriptStep` names, then the office's replies. Ends
  // the call through `controller` when the script is over or has failed. File errors throw.
  void Run(LineController& controller);

 private:
  // Each returns false when the call has been ended.
  bool PerformStep(LineController& controller);
  bool ReadReplies(LineController& controller);
  // Handles one complete reply line; sets `transferred` when a transfer ran.
  bool HandleReply(LineController& controller, bool& transferred);
  bool RunTransfer(LineController& controller);

  void SendCommand(std::string bytes);
  void SendMessage(std::string_view utf8_text);
  void StepTables();
  void StepDeleteTable();
  void StepTrafficRequest();
  void StepTrafficFiling();
  void StepDayFiles();
  void StepClock();
  void StepDismiss(LineController& controller);

  CallServices s_;
  ParamWriter write_param_;
};

}  // namespace marvolen
