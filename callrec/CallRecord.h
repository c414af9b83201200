// The record of one call attempt, admitted or not, as the station appends it to "calls.jsonl"
// in the working directory: one JSON object on one line. It says when and on which line the
// call came, which office it was, how it ended and what went over the line. It never holds
// the office's password.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "call/CallOutcome.h"
#include "platform/Clock.h"
#include "platform/Errors.h"

namespace marvolen {

// The texts stored in the record ("success", "wrong_password" ...), and back; nullopt for a
// text that is none of them.
std::string_view ResultName(CallResult result);
std::string_view ReasonName(CallReason reason);
std::optional<CallResult> ResultFromName(std::string_view name);
std::optional<CallReason> ReasonFromName(std::string_view name);

struct SentFile {
  std::string name;  // as packed: "TARIFA.TBL"
  std::string kind;  // "table" or "upgrade"
  uint64_t bytes = 0;
};

struct NamedBytes {
  std::string name;
  uint64_t bytes = 0;
  // Traffic only: the office sent bytes that an earlier call had filed under `name`; they
  // were not filed again.
  bool already_filed = false;
};

struct TransferSummary {
  TransferDirection direction = TransferDirection::kSend;
  std::string file;  // "envio.zip", "recibo.zip"
  uint64_t bytes = 0;
  int blocks = 0;
  int block_size = 0;  // the largest block used
  int resends = 0;
  bool crc = true;  // CRC-16, else the 8-bit checksum
  double seconds = 0;
  std::string result;  // the transfer's own result text
  // Bytes per second over the whole transfer; 0 when it took no measurable time.
  double BytesPerSecond() const { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }
};

// One file of the list the office reported in its identification line.
struct ReportedFile {
  std::string name;   // UTF-8
  int32_t value = 0;  // byte sum of a table, size of an upgrade
  std::string probe;  // the 4 characters where a padded name has its extension
};

struct CallRecord {
  WallTime start{};
  WallTime end{};
  int port = 0;
  std::string device;  // the serial device or the emulator's address
  // The line's name, as in "lines/NAME.json" and the metrics' labels; records from before it
  // was kept have none, and readers take "com" and the port's number.
  std::string line_name;
  std::string home;    // the station home that served the call
  std::optional<int> office;
  std::optional<std::string> device_id;
  std::optional<std::string> table_kind;  // "tbl" or "tab"
  // The identification's feature flag was set: the office may get upgrades and the clock.
  bool features = false;
  CallResult result = CallResult::kNeverIdentified;
  CallReason reason = CallReason::kNone;
  // The admission let the office in: only then does its file list say what it holds. A
  // refused caller's list may be anyone's.
  bool admitted = false;
  std::string detail;  // the error text of a program error or a failed transfer
  std::vector<SentFile> files_sent;
  std::optional<std::string> deleted;  // "tablas\NAME" as sent to the office
  std::vector<NamedBytes> traffic;     // filed under these names
  std::vector<std::string> day_files_asked;
  std::vector<NamedBytes> day_files_received;
  std::optional<WallTime> clock_set;
  std::vector<TransferSummary> transfers;
  // nullopt when the office never identified itself.
  std::optional<std::vector<ReportedFile>> office_files;
  std::string transcript;  // relative to the working directory
};

// A line of "calls.jsonl" that is not a call record: the station's refusal of a damaged
// record; the text says what is wrong with it.
class RecordFormatError : public StationError {
 public:
  explicit RecordFormatError(const std::string& why)
      : StationError(StationRefusal::kDamagedRecord, why) {}
};

// What is wrong with a text the JSON parser refused, in the station's words, from the number
// of the parser's exception (its own text is English): "JSON no válido", "falta un
// campo"...
std::string JsonFaultText(int exception_id);

// The record as one line of JSON, without the line end.
std::string RecordToJson(const CallRecord& record);
// Throws RecordFormatError when `line` is not a record.
CallRecord RecordFromJson(std::string_view line);

// ISO 8601 local time with the offset in force then: "2026-12-07T11:49:47.123+01:00".
std::string FormatIsoLocal(WallTime t);
// Reads what FormatIsoLocal writes (milliseconds optional, "Z" accepted); nullopt otherwise,
// and for a year before 1970 or a time past what WallTime holds (April 2262): no call of ours
// was made then, and such a year would overflow the time type.
std::optional<WallTime> ParseIso(std::string_view text);

}  // namespace marvolen
