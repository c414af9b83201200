// What the call logic tells whoever keeps the call's record: the lines exchanged, the
// identification, the files that went each way, the clock set and the transfers. Every
// event does nothing unless overridden, so a station without a record needs no observer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "call/CallOutcome.h"
#include "call/TableKind.h"
#include "platform/Clock.h"
#include "transfer/TransferLine.h"

namespace marvolen {

class CallObserver {
 public:
  virtual ~CallObserver() = default;

  virtual void LineSent(std::string_view /*bytes*/) {}
  virtual void LineReceived(std::string_view /*bytes*/) {}
  // A line the station showed the operator during the call.
  virtual void Note(std::string_view /*text*/) {}
  // The "Ident=" line as received and the table kind in force before it was read.
  virtual void Identified(std::string_view /*ident_line*/, TableKind /*table_ext_before*/) {}
  // The system error behind the way the call is about to end (an office lock that could not
  // be taken), for the record's detail.
  virtual void Detail(std::string /*text*/) {}
  // The admission let the office in (after Identified; never for a refused caller).
  virtual void Admitted() {}
  // kind: "table" or "upgrade".
  virtual void FileSent(std::string /*name*/, std::string /*kind*/, uint64_t /*bytes*/) {}
  virtual void Deleted(std::string /*delete_list*/) {}
  virtual void TrafficFiled(std::string /*name*/, uint64_t /*bytes*/) {}
  // The traffic the office sent has the bytes of the copy filed as `name` by an earlier call;
  // it was not filed again.
  virtual void TrafficAlreadyFiled(std::string /*name*/, uint64_t /*bytes*/) {}
  virtual void DayFilesAsked(std::vector<std::string> /*names*/) {}
  virtual void DayFileReceived(std::string /*name*/, uint64_t /*bytes*/) {}
  virtual void ClockSet(WallTime /*t*/) {}
  virtual void TransferStarted(TransferDirection /*direction*/, std::string /*file*/) {}
  virtual void TransferBlock(const BlockNote& /*block*/) {}
  virtual void TransferEnded(uint64_t /*bytes*/, std::string /*result*/) {}
};

}  // namespace marvolen
