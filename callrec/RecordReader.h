// Reading one line of the call log into the few fields the report and the status page use.
// This is the only place the log's JSON is read on the hot path, behind one narrow interface,
// so that the library doing it can differ by platform: simdjson where it is packaged
// (RecordReaderSimdjson.cpp); another reader (a SAX one) can fill in the same class where it
// is not. Writing records and reading them whole (CallRecord.h) are not this interface's.
#pragma once

#include <cstddef>
#include <memory>

#include "callrec/CallStore.h"

namespace marvolen {

class RecordReader {
 public:
  // Bytes past a line's end that Read may look at: they must be readable, whatever they hold.
  static constexpr size_t kPadding = 64;

  // With `holdings`, an admitted call that reported its files has them read too.
  explicit RecordReader(bool holdings);
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // The line [data, data + size), without its line end. A well-formed record fills `out`
  // (all but line_number; its views and holdings stay valid until the next Read) and gives
  // nullptr; anything else (not JSON, not a call record) gives why, in the operator's words.
  // The whole line is checked, also the fields nobody reads, so that every reader of the log
  // takes the same lines for damaged.
  const char* Read(const char* data, size_t size, CallSummary& out);

 private:
  struct Impl;
  const std::unique_ptr<Impl> impl_;
};

}  // namespace marvolen
