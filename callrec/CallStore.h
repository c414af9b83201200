// Where the call records of a working directory are kept, as values: a record goes in, records
// (or the few fields of them the report and the status page work with) come out. Everything
// above this interface is free of the storage's format; the one implementation is the JSON
// lines file "calls.jsonl" with what logrotate leaves of it (callrec/CallLog.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "callrec/CallRecord.h"
#include "platform/Errors.h"

namespace marvolen {

// A store that cannot be read or written; the text names the file and the reason, the code
// is the errno of the system call that failed, or the station's refusal of a file that is no
// regular file, or none (a damaged compressed log, lines lost).
class CallLogError : public StationError {
 public:
  CallLogError(std::error_code code, const std::string& text) : StationError(code, text) {}
  explicit CallLogError(const std::string& text) : StationError({}, text) {}
};

// What an admitted office said it holds on a call that reported its files, and what that call
// changed: enough to tell what its next call will get without reading the call again.
struct OfficeHoldings {
  long long start_ms = 0;  // the call's start, since the epoch
  std::string table_kind;  // "tbl", "tab", or empty when not known
  bool features = false;
  std::vector<ReportedFile> files;  // as the office reported them
  std::string deleted;              // "tablas\NAME" as sent to the office, or empty
  std::vector<SentFile> sent;       // what the call packed for the office
  bool delivered = false;           // the archive went through
};

// What the call record says the office holds.
OfficeHoldings HoldingsOf(const CallRecord& record);

// The few fields of a record the report works with.
struct CallSummary {
  uint64_t line_number = 0;  // the record's place in its file, from 1; 0 when not known
  long long start_ms = 0;    // since the epoch
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
  bool archive_delivered = false;  // an archive sent to the office went through
  bool identified = false;         // the record holds the office's file list
  bool admitted = false;           // the admission let the office in
  // Only when the filter asks for them, and the call was admitted and identified.
  const OfficeHoldings* holdings = nullptr;
};

// The views and pointers of a summary are valid during the call back only.
using CallSink = std::function<void(const CallSummary&)>;

// The name of the line a record came in on: its own, or "com" and the port's number for a
// record from before lines had names.
std::string LineNameOf(const CallSummary& call);

// A stored record that cannot be read: where it is and what is wrong with it.
struct BadLine {
  std::string file;  // "calls.jsonl", "calls.jsonl.2.gz"
  uint64_t number = 0;
  std::string why;
};
using BadRecordSink = std::function<void(const BadLine&)>;

struct CallFilter {
  int office = 0;         // that office's calls only; 0 for all
  bool holdings = false;  // fill CallSummary::holdings
  // Leave a last record without its end (being written, or cut short) for a later scan
  // instead of taking it as damaged now.
  bool whole_records = false;
};

// How far the store reached at one moment: which file the newest records go to (rotation
// gives the name to a new file) and how many bytes of it were there.
struct StoreMark {
  uint64_t file_id = 0;  // 0: no file yet
  uint64_t bytes = 0;
  bool operator==(const StoreMark&) const = default;
};

class CallStore {
 public:
  virtual ~CallStore() = default;

  // Keeps the record for good before it returns. Throws CallLogError.
  virtual void Append(const CallRecord& record) = 0;

  // The records that pass `filter`, oldest first, and every damaged record to `bad`. Gives
  // back how far it read, for a later ScanSince. Throws CallLogError when part of the store
  // cannot be read.
  virtual StoreMark Scan(const CallFilter& filter, const CallSink& sink,
                         const BadRecordSink& bad) const = 0;

  // The same records as the Scan that gave back `mark` handed on, read again: for a reading
  // in rounds that must see the same log each time. Nullopt, possibly after some records were
  // handed on, when the file `mark` names cannot be found any more (compressed or replaced
  // since); the caller starts over.
  virtual std::optional<StoreMark> ScanUpTo(const StoreMark& mark, const CallFilter& filter,
                                            const CallSink& sink,
                                            const BadRecordSink& bad) const = 0;

  // Where the store ends now.
  virtual StoreMark End() const = 0;
  // The records added after `since` (an End() of this store) and before `until` (a later one),
  // oldest first. Gives back how far it read: up to the end of the last whole record before
  // `until`, so that a record still being written is read whole next time. Nullopt, with
  // nothing handed on, when `since` cannot be found any more (its file was rotated away or
  // replaced): the caller starts over with Scan.
  virtual std::optional<StoreMark> ScanSince(const StoreMark& since, const StoreMark& until,
                                             const CallFilter& filter, const CallSink& sink,
                                             const BadRecordSink& bad) const = 0;

  // The calls that pass `filter` as whole records, newest first, in memory bounded whatever
  // their number: first `counted` gets how many there are (damaged ones to `bad`, in order),
  // then `sink` one at a time.
  virtual void ScanNewestFirst(const CallFilter& filter, const BadRecordSink& bad,
                               const std::function<void(uint64_t calls)>& counted,
                               const std::function<void(const CallRecord&)>& sink) const = 0;

  // The newest call of `office` that the admission let in; nullopt when there is none.
  virtual std::optional<CallRecord> LatestAdmitted(int office) const = 0;
};

}  // namespace marvolen
