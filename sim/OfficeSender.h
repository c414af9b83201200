// The office's block sender. It speaks the same frames as the station's, with one difference
// in the block-size rule: blocks turn small once 896 or fewer bytes remain (as lrzsz's sx
// does), so the last block never carries more than 127 padding bytes, which is all the
// station's receiver trims off.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "transfer/TransferLine.h"

namespace marvolen::office {

// The size of the block that starts with `remaining` bytes unsent, after a block of
// `previous` bytes (1024 before the first). Once small, blocks stay small.
std::size_t OfficeBlockSize(std::size_t previous, std::size_t remaining);

// Sends `content` to the receiver waiting on `line`: waits for its request (C for CRC, NAK
// for checksums), sends the blocks one acknowledgement at a time, then EOT. Gives back the
// station's texts: "Transferencia Ok", "Tranferencia abortada" or "Sin Tono!". Bytes that
// came behind the final ACK are handed back to the line.
std::string SendBlocks(TransferLine& line, std::string_view content);

}  // namespace marvolen::office
