// The fixed script an admitted office is led through, one step per tick: tables and upgrades
// out, an unused table deleted, traffic and day files in, the clock set, success announced,
// the office dismissed. Each command waits for the office's echo (answered with the go token
// or a file transfer) and its acknowledgement (which moves the script on).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/CallServices.h"
#include "app/FileOps.h"

namespace marvolen {

class LineController;

class SupervisionScript {
 public:
  // Stores one value in the admitted office's parameter file.
  using ParamWriter = std::function<void(const std::string& key, const std::string& value)>;

  // The traffic filing writes through `file_ops`, which must outlive the script.
  SupervisionScript(const CallServices& services, ParamWriter write_param,
                    const FileOps& file_ops = SystemFileOps());

  // The bare file names (UTF-8) that the office's archive may hold in answer to the
  // "Enviar  dato" command `command`; any other member is left out.
  static std::vector<std::string> ReceivedNames(std::string_view command);

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
  void FileTraffic(const std::filesystem::path& traffic);
  void StepDayFiles();
  void StepClock();
  void StepDismiss(LineController& controller);

  CallServices s_;
  ParamWriter write_param_;
  const FileOps& file_ops_;
};

}  // namespace marvolen
