// The sending side of the block transfer: one file, start to end, in 1024-byte blocks and a
// tail of 128-byte blocks, each acknowledged before the next goes out.
#pragma once

#include <string>
#include <string_view>

#include "transfer/TransferLine.h"

namespace marvolen {

inline constexpr std::string_view kSendOk = "Transferencia Ok";
inline constexpr std::string_view kSendAborted = "Tranferencia abortada";
inline constexpr std::string_view kSendNoCarrier = "Sin Tono!";

// Sends `content` to the receiver waiting on `line` and blocks until the transfer ends.
// The result is kSendOk, kSendAborted or kSendNoCarrier, or a kTransfer text when a bound
// cut the transfer (`bounds.max_bytes` is not looked at). The block being sent is shown in
// panel 3. On success the bytes that came behind the final ACK are handed back to the line.
// The bounds and the carrier are looked at every second of every wait; when one of them ends
// the transfer the cancel sequence goes out at once.
TransferOutcome SendFile(TransferLine& line, std::string_view content,
                         const TransferSinks& sinks = {}, const TransferBounds& bounds = {});

}  // namespace marvolen
