// "calls.jsonl" in the working directory: every station sharing the directory appends its
// call records to it, and the report reads it back line by line, never whole.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "callrec/CallRecord.h"

namespace marvolen {

inline constexpr char kCallLogName[] = "calls.jsonl";

class CallLogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends the record as one line with a single write on a descriptor opened for appending,
// so that lines of several stations never interleave. A write cut short (a full disk) is
// ended with a line end where possible, so the next record starts a line of its own.
// Throws CallLogError naming the file and the system's reason.
void AppendCallRecord(const std::string& path, const CallRecord& record);

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
  bool traffic_filed = false;
  bool identified = false;  // the record holds the office's file list
  std::string_view line;    // the whole line, valid during the call back only
};

using CallSink = std::function<void(const CallSummary&)>;
// A line that is not a well-formed record: its number (from 1) and what is wrong with it.
using BadLineSink = std::function<void(uint64_t line_number, std::string_view why)>;

// Reads the log at `path` line by line in bounded memory, handing each record to `sink` and
// each corrupt, truncated or overlong line to `bad`. A missing file has no records. Throws
// CallLogError only when the file exists but cannot be read.
void ScanCallLog(const std::string& path, const CallSink& sink, const BadLineSink& bad);

}  // namespace marvolen
