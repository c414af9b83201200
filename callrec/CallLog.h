// "calls.jsonl" in the working directory: every station sharing the directory appends its
// call records to it, and the report reads it back line by line, never whole.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "callrec/CallRecord.h"
#include "platform/FileOps.h"

namespace marvolen {

inline constexpr char kCallLogName[] = "calls.jsonl";

class CallLogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends the record as one line with a single write on a descriptor opened for appending,
// so that lines of several stations never interleave. The record goes in whole or not at
// all: a write cut short (a full disk) is taken out again. A log whose last line has no line
// end (a record cut short by a power loss) has it closed first, in the same write, so that
// the new record does not go down with the piece. The log must be a regular file: a link is
// not followed, and a FIFO or a device is refused at once instead of holding the station.
// The record is flushed to the disk (and a new log's name with its directory) before this
// returns. Throws CallLogError naming the file and the reason.
void AppendCallRecord(const std::string& path, const CallRecord& record,
                      const FileOps& ops = SystemFileOps());

// The few fields of a record the report works with, read from one line.
struct CallSummary {
  uint64_t line_number = 0;
  long long start_ms = 0;  // since the epoch
  long long end_ms = 0;
  std::string_view start_text;  // as written, local time: its first 10 characters are the day
  int office = 0;               // 0 when unknown
  CallResult result = CallResult::kNeverIdentified;
  CallReason reason = CallReason::kNone;
  int port = 0;
  std::string_view device;
  std::string_view line_name;  // empty in records from before the name was kept
  std::string_view transcript;
  uint64_t bytes_sent = 0;  // over every transfer of the call, to the office and from it
  uint64_t bytes_received = 0;
  bool traffic_filed = false;
  bool identified = false;  // the record holds the office's file list
  bool admitted = false;    // the admission let the office in
  std::string_view line;    // the whole line, valid during the call back only
};

using CallSink = std::function<void(const CallSummary&)>;
// A line that is not a well-formed record: its number (from 1) and what is wrong with it.
using BadLineSink = std::function<void(uint64_t line_number, std::string_view why)>;

// Reads the log at `path` line by line in bounded memory, handing each record to `sink` and
// each corrupt, truncated or overlong line to `bad`. A name ending in ".gz" is read through
// zlib (a log rotated and compressed). A missing file has no records. Gives back the number
// of bytes read (uncompressed). Throws CallLogError when the file exists but cannot be read,
// is no regular file or is a damaged compressed file.
uint64_t ScanCallLog(const std::string& path, const CallSink& sink, const BadLineSink& bad,
                     const FileOps& ops = SystemFileOps());

// The log's files in `work_dir` (ending in "/"), oldest first: what logrotate left
// ("calls.jsonl.3.gz", "calls.jsonl.2.gz", "calls.jsonl.1"), then "calls.jsonl" itself, the
// last even when it does not exist yet. Names of another pattern are not the log's.
std::vector<std::string> CallLogFiles(const std::string& work_dir);

// The name of the line a record came in on: its own, or "com" and the port's number for a
// record from before lines had names.
std::string LineNameOf(const CallSummary& call);

// Reads the first `bytes` bytes of the log (what a forward scan read, whatever has been
// appended since) from the last line to the first, in the same bounded memory. The records
// come unnumbered (line_number 0); damaged lines are passed over in silence, as the forward
// scan has reported them. A compressed file is first unpacked into an unnamed temporary file.
// Throws CallLogError when the log cannot be read or has lost lines.
void ScanCallLogBackwards(const std::string& path, uint64_t bytes, const CallSink& sink,
                          const FileOps& ops = SystemFileOps());

}  // namespace marvolen
