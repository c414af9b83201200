// How a call attempt ended, as the call's record keeps it.
#pragma once

namespace marvolen {

enum class CallResult { kSuccess, kRefused, kNeverIdentified, kAborted };

// Why a call was refused or aborted; kNone for a success and a caller that never identified.
// New reasons go at the end, whatever their kind: the status summary keeps a reason by its
// number.
enum class CallReason {
  kNone,
  // refused
  kWrongPassword,
  kHalvesDiffer,
  kDeviceMismatch,
  kBadOfficeNumber,
  kNoTables,
  kTooManyStrayLines,
  kInCallOnOtherLine,
  kLockFailed,
  // aborted
  kStall,
  kCarrierLost,
  kTransferFailed,
  kProgramError,
  kStopped,
  kCallTooLong,
  kArchiveTooLarge,
  // refused: no office directory for the number the caller gave
  kUnknownOffice,
  kNoProgress,  // nothing moved for the idle bound
};

enum class TransferDirection { kSend, kReceive };

}  // namespace marvolen
