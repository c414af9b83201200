// The fixed script an admitted office is led through, one step per tick: tables and upgrades
// out, an unused table deleted, traffic and day files in, the clock set, success announced,
// the office dismissed. Each command waits for the office's echo (answered with the go token
// or a file transfer) and its acknowledgement (which moves the script on). The steps and
// where each leads are the table of call/ScriptSteps.h; here is what each step does.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "call/CallServices.h"
#include "call/ScriptSteps.h"
#include "platform/FileOps.h"

namespace marvolen {

// What the script needs of the line controller: ending the call when the script is over
// (`reason` kNone) or has failed, why, and the error behind it for the call's record.
class CallControl {
 public:
  virtual void AbortCall(CallReason reason, std::string detail = {}) = 0;

 protected:
  ~CallControl() = default;
};

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

  // A caller has come on the line: nothing the script kept of the last call (a reply half
  // read, a command awaiting its echo, a transfer to run) carries over to this one.
  void NewCall();

  // Whether the script has begun leading this call's office and has not dismissed it: a call
  // that ends now is cut short.
  bool Unfinished() const;

  // One tick in "conectado": the step the call state's `ScriptStep` names, for the office
  // the call state holds, then the office's replies. Ends the call through `controller` when
  // the script is over or has failed. File errors throw.
  void Run(CallControl& controller);

 private:
  // Each returns false when the call has been ended.
  bool PerformStep(CallControl& controller);
  // Does the work of `step` (any but the dismissal) and says what it sent. File errors throw,
  // and leave the step to be done again.
  script::Done Perform(script::Step step);
  bool ReadReplies(CallControl& controller);
  // Handles one complete reply line; sets `transferred` when a transfer ran.
  bool HandleReply(CallControl& controller, bool& transferred);
  bool RunTransfer(CallControl& controller);
  // What ends a transfer of this call early: a stop, the bounds of the call's progress, an
  // archive's size. The transfer reports its blocks to the call's progress.
  TransferBounds Bounds() const;
  // The office answered as the script expects (an echo, an acknowledgement): the call moves.
  // A line the script does not take (chatter) is no progress.
  void NoteProgress() { s_.state.Progress.Moved(0, s_.clock.Now()); }
  // Pauses as the script does between its steps; false when a stop cut the pause short.
  bool Pause(Millis d) { return s_.stop.Pause(s_.clock, d); }
  // Tells the observer the day files that came (after a good receive of the day files).
  void NoteDayFilesReceived();

  void SendCommand(std::string bytes);
  void SendMessage(std::string_view utf8_text);
  script::Done StepTables();
  script::Done StepDeleteTable();
  script::Done StepTrafficRequest();
  script::Done StepTrafficFiling();
  // The name the traffic is filed under, and whether an earlier call had filed it already.
  struct FiledTraffic {
    std::string name;
    bool already = false;
  };
  FiledTraffic FileTraffic(const std::filesystem::path& traffic);
  // The office's most recent filed copy, when it holds the bytes of `traffic`; nullopt when
  // it does not, when there is none, or when which one is the most recent or what it holds
  // cannot be told (each copy that cannot be read is shown and logged). Throws FileError
  // when the office directory or the traffic cannot be read.
  std::optional<std::filesystem::path> LatestFilingIfSame(const std::filesystem::path& traffic);
  // Shows and logs that the filed copy `what` cannot be read, and so the traffic is filed.
  void NoteUnreadableCopy(const std::string& what);
  // Syncs `file` and its directory; throws FileError.
  void MakeDurable(const std::filesystem::path& file);
  script::Done StepDayFiles();
  void StepClock();
  void StepDismiss();

  CallServices s_;
  ParamWriter write_param_;
  const FileOps& file_ops_;

  // The transfer that the echo of the command out starts, whole: what it moves, from or to
  // which directory, and what its good end means for the call.
  struct Transfer {
    enum class Kind {
      kNone,
      kTablesOut,   // "envio.zip" from the station home to the office
      kTrafficIn,   // the office's traffic into its directory
      kDayFilesIn,  // the day files asked for into the office's directory
    };
    Kind kind = Kind::kNone;
    std::filesystem::path dir;       // where the file is read (out) or kept (in)
    std::string file;                // the archive's name there
    std::vector<std::string> names;  // in: the members the archive may hold (UTF-8)
  };

  // The call in progress, as far as the script has got with it.
  std::string reply_line_;     // the office's reply being assembled (Windows-1252)
  std::string last_command_;   // what the office is to echo and acknowledge
  Transfer pending_;           // what the echo of that command starts
  bool started_ = false;       // Run has been given this call
  std::string day_file_list_;  // the day files asked for, blank-separated
  int day_end_ = 0;            // "inicio *.daw" for the next call, once they have come
};

}  // namespace marvolen
