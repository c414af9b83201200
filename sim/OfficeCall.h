// The office's side of one call: wait for the station's greeting, identify, then answer the
// station's commands one by one (echo, wait for the go token, carry the command out,
// acknowledge) until it dismisses the office with "Salir".
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "sim/OfficeLine.h"
#include "sim/OfficeLink.h"

namespace marvolen::office {

// Ways to make the office misbehave, for tests of the station.
enum class ArchiveFault { None, Corrupt, BadCrc, Hostile };
enum class DropDuring { None, Receive, Send };

// The absolute entry name a hostile archive carries: a file in the office's own directory.
std::string AbsoluteEscapeName(const std::filesystem::path& office_dir);

struct Misbehaviour {
  bool never_identify = false;
  bool hang_up_on_ident = false;       // hang up right behind the identification
  int stop_ack_after = -1;             // acknowledge only this many commands; negative: all of them
  DropDuring drop = DropDuring::None;  // hang up in the middle of the first such transfer
  ArchiveFault archive = ArchiveFault::None;  // what to send instead of a sound archive
  Millis slow_send{0};  // a pause before each frame the office sends (a trickling office)
};

struct CallSettings {
  std::filesystem::path dir;  // the office's directory
  // Longest silence of the station before the office gives up. The greeting is awaited the
  // modem's no-answer limit longer: the station's modem may let the call ring that long (while
  // it resets after another call) before it answers.
  Millis timeout{120000};
  Misbehaviour misbehave;
  std::filesystem::path keep_deleted;  // where deleted files are moved to; empty: removed
};

// What happened during the call. Texts are UTF-8.
struct CallSummary {
  int greetings = 0;
  bool identified = false;
  std::vector<std::string> commands;  // each command as received, tokens named
  std::vector<std::string> received;  // office-relative paths placed
  std::vector<std::string> deleted;
  std::vector<std::string> refused;  // paths from the line that leave the office's folder
  std::vector<std::string> sent;     // names stored in the archives sent
  std::vector<std::string> missing;  // names asked for that the office does not hold
  std::vector<std::string> messages;
  std::optional<std::string> clock;    // "dd/mm/yyyy hh:mm:ss"
  std::optional<std::string> retries;  // the two digits of "Salir"
  std::optional<std::string> period;   // its three digits
  std::vector<std::string> failures;   // transfers or steps that went wrong
  int acknowledged = 0;
  bool success_message = false;  // "Comunicación exitosa" was shown
  bool dismissed = false;        // "Salir" came
  std::string end;               // how the call ended
};

// 0 only for a call that ended with "Comunicación exitosa" and "Salir"; 1 otherwise.
int ExitStatus(const CallSummary& summary);
void PrintSummary(std::ostream& out, const CallSummary& summary);

class OfficeCall {
 public:
  // `log` gets one line per event as the call goes on.
  OfficeCall(OfficeLine& line, OfficeLink& link, Clock& clock, CallSettings settings,
             std::ostream& log);

  // Plays the whole call; `ident_line` is sent as given (CR included). Hangs up at the end.
  CallSummary Run(const std::string& ident_line);

 private:
  enum class Wait { Line, Request, Silent, Down };
  // Waits for a line for at most `silence` (nullopt: the timeout) of the station's silence.
  Wait ReadLine(std::string& line, bool stop_on_request = false,
                std::optional<Millis> silence = std::nullopt);
  bool WaitForGreeting();
  void SitSilent();
  void PlayCommands();
  // Carries out one command line; false when the call cannot go on.
  bool Handle(const std::string& command);
  bool WaitForGo(bool sending);
  bool Receive();
  bool SendFiles(std::string_view names);
  std::string OutgoingArchive(const std::vector<ArchiveItem>& items);
  void Delete(std::string_view line_path);
  void ShowMessage(std::string_view text_on_line);
  void SetClock(std::string_view digits);
  void Acknowledge();
  void Dismiss(const std::string& command);
  void Note(const std::string& text);
  // The line a transfer runs on: the call's own, or one that drops in the middle when asked.
  TransferResult RunTransfer(DropDuring direction,
                             const std::function<TransferResult(OfficeLine&)>& transfer);

  PushbackLine line_;
  OfficeLink& link_;
  Clock& clock_;
  CallSettings settings_;
  std::ostream& log_;
  std::string partial_;  // bytes of a line not yet ended by CR
  CallSummary summary_;
  bool dropped_ = false;  // the asked-for drop has happened
};

}  // namespace marvolen::office
