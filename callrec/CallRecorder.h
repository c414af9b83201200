// Follows one call as the station drives it and, when it ends, appends its record to the
// working directory's "calls.jsonl" and writes its transcript under "calls/". The station
// tells it what happens; it never touches the line itself.
//
// The transcript holds every line exchanged with its time in milliseconds since the call
// began and its direction ("<" from the office, ">" to it, "*" the station's own notes, with
// their control bytes escaped as the log view shows them, "#" a transfer, in the station's
// words as its notes are), the bytes of the line that are not printable ASCII written as
// \xHH, the line tokens by
// name, and transfers block by block rather than byte by byte. The password groups of an
// "Ident=" line are masked before the line is kept anywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "call/CallObserver.h"
#include "callrec/CallLog.h"
#include "callrec/CallRecord.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace marvolen {

struct RecorderSetup {
  std::string work_dir;  // ending in "/"
  std::string home;      // the station home
  int port = 0;
  std::string device;
  // A transcript grows no further than this; a note says what was left out.
  size_t transcript_cap = 1 << 20;
  // The system seam the transcript and the call log are written through (the real calls when
  // null); it must outlive the recorder.
  const FileOps* files = nullptr;
  // The line's name the station goes by ("lines/NAME.json"); "com" and the port's number when
  // empty.
  std::string line_name{};
};

class CallRecorder final : public CallObserver {
 public:
  CallRecorder(RecorderSetup setup, const Clock& clock);

  // Carrier detected: a new call. A call still open is given up without a record.
  void CallStarted();
  bool InCall() const { return in_call_; }

  void LineSent(std::string_view bytes) override;
  void LineReceived(std::string_view bytes) override;
  void Note(std::string_view text) override;

  // The "Ident=" line as received (control bytes removed) and the table kind in force before
  // it was read. Takes office, device, table kind, feature flag and file list from it.
  void Identified(std::string_view ident_line, TableKind table_ext_before) override;
  void Admitted() override { record_.admitted = true; }

  // Kept as the record's detail unless Ended is given one.
  void Detail(std::string text) override;
  void FileSent(std::string name, std::string kind, uint64_t bytes) override;
  void Deleted(std::string delete_list) override;
  void TrafficFiled(std::string name, uint64_t bytes) override;
  void TrafficAlreadyFiled(std::string name, uint64_t bytes) override;
  void DayFilesAsked(std::vector<std::string> names) override;
  void DayFileReceived(std::string name, uint64_t bytes) override;
  void ClockSet(WallTime t) override;

  void TransferStarted(TransferDirection direction, std::string file) override;
  void TransferBlock(const BlockNote& block) override;
  // `bytes` is the file's size as sent or kept; `result` the transfer's result text.
  void TransferEnded(uint64_t bytes, std::string result) override;

  // Ends the call: the record goes to "calls.jsonl", the transcript to its file, and the call
  // is counted in the status summary beside the log. Gives back
  // an error text, empty when both were written; the record is kept in Last() either way.
  // A log that refuses records for the same reason call after call (a FIFO, a link or a
  // directory in its place) is told once, not at every call, until a record goes in again.
  std::string Ended(CallResult result, CallReason reason = CallReason::kNone,
                    std::string detail = {});
  const CallRecord& Last() const { return record_; }

 private:
  long long SinceStart() const;
  void Add(char direction, std::string_view text);
  std::string WriteTranscript();
  // Counts the call in the status summary beside the log; an error text, told once.
  std::string CountInSummary();

  RecorderSetup setup_;
  const Clock& clock_;
  JsonLinesCallStore store_;
  bool in_call_ = false;
  MonoTime started_{};
  CallRecord record_;
  std::string transcript_;
  bool transcript_full_ = false;
  std::optional<TransferSummary> transfer_;
  MonoTime transfer_started_{};
  std::string log_error_;      // the call log's last error, already told
  std::string summary_error_;  // the summary's, likewise
};

// A call's result and reason in the station's language: "rechazada (clave incorrecta)",
// "exitosa".
std::string CallResultWords(CallResult result, CallReason reason);
// The log view's line at the end of a call, in the station's language: "Fin de llamada:
// rechazada (clave incorrecta), 12 s".
std::string CallEndLine(const CallRecord& record);

// The text of a line as the transcript shows it: tokens by name, other bytes outside
// printable ASCII (and the backslash) escaped.
std::string EscapeLine(std::string_view bytes);
// An "Ident=" line with the digits of both halves' password groups replaced by '*'. Any
// other line is given back as it is.
std::string MaskIdentLine(std::string_view line);

// "calls/YYYY-MM-DD/HHMMSS-locNN" (without ".txt") for a call that began at `start`; the
// office part is "sin-oficina" when the office is unknown.
std::string TranscriptStem(WallTime start, std::optional<int> office);

}  // namespace marvolen
