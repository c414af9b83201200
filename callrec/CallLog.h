// "calls.jsonl" in the working directory: every station sharing the directory appends its
// call records to it, and the report reads it back line by line, never whole. The file is the
// call store's one implementation; only the store and the tests of the format use these
// functions directly.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "callrec/CallRecord.h"
#include "callrec/CallStore.h"
#include "platform/FileOps.h"

namespace marvolen {

inline constexpr char kCallLogName[] = "calls.jsonl";

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

// A line that is not a well-formed record: its number (from 1) and what is wrong with it.
using BadLineSink = std::function<void(uint64_t line_number, std::string_view why)>;

// Reads the log at `path` line by line in bounded memory, handing each record to `sink` and
// each corrupt, truncated or overlong line to `bad`. A name ending in ".gz" is read through
// zlib (a log rotated and compressed). A missing file has no records. Gives back the number
// of bytes read (uncompressed). Throws CallLogError when the file exists but cannot be read,
// is no regular file or is a damaged compressed file.
// With `holdings`, an admitted call that reported its files has them read too.
uint64_t ScanCallLog(const std::string& path, const CallSink& sink, const BadLineSink& bad,
                     const FileOps& ops = SystemFileOps(), bool holdings = false);

// The log's files in `work_dir` (ending in "/"), oldest first: what logrotate left
// ("calls.jsonl.3.gz", "calls.jsonl.2.gz", "calls.jsonl.1"), then "calls.jsonl" itself, the
// last even when it does not exist yet. Names of another pattern are not the log's.
std::vector<std::string> CallLogFiles(const std::string& work_dir);

// The store of the working directory `work_dir` (ending in "/"): "calls.jsonl" and its rotated
// files. Appends are single writes on a descriptor opened for appending, so that several
// stations (and a working directory on a network file system) share one log safely.
class JsonLinesCallStore final : public CallStore {
 public:
  explicit JsonLinesCallStore(std::string work_dir, const FileOps& ops = SystemFileOps())
      : work_dir_(std::move(work_dir)), ops_(ops) {}

  void Append(const CallRecord& record) override;
  StoreMark Scan(const CallFilter& filter, const CallSink& sink,
                 const BadRecordSink& bad) const override;
  std::optional<StoreMark> ScanUpTo(const StoreMark& mark, const CallFilter& filter,
                                    const CallSink& sink, const BadRecordSink& bad) const override;
  StoreMark End() const override;
  std::optional<StoreMark> ScanSince(const StoreMark& since, const StoreMark& until,
                                     const CallFilter& filter, const CallSink& sink,
                                     const BadRecordSink& bad) const override;
  void ScanNewestFirst(const CallFilter& filter, const BadRecordSink& bad,
                       const std::function<void(uint64_t calls)>& counted,
                       const std::function<void(const CallRecord&)>& sink) const override;
  std::optional<CallRecord> LatestAdmitted(int office) const override;

 private:
  const std::string work_dir_;
  const FileOps& ops_;
};

}  // namespace marvolen
