// The serial line as the call logic sees it: the driver's operations on the configured port,
// plus the two block transfers. The real station backs it with the serial driver and the
// block transfer; tests back it with a scripted modem and office.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/TransferLine.h"

namespace marvolen {

// Line-function codes of SetPortLines, with the values the driver's callers have always used.
enum class PortLine { kSetRts = 3, kSetDtr = 5 };

class CallLine {
 public:
  virtual ~CallLine() = default;

  // Each of these hands back an error text, empty on success; none of them throws.
  virtual std::string OpenPort() = 0;  // configured port and speed, 8 data bits, no parity, 1 stop
  virtual std::string ClosePort() = 0;
  virtual std::string PurgeAll() = 0;
  // Discards every received byte not yet read: the driver's queue and any bytes handed back
  // for the next read.
  virtual std::string PurgeInput() = 0;
  virtual std::string SetPortLines(PortLine line) = 0;
  // Refreshes BytesWaiting().
  virtual std::string ClearPortErrors() = 0;
  // Reads the modem status lines (CarrierLost does the same and shows a failure).
  virtual std::string ReadModemStatus() = 0;
  virtual std::size_t BytesWaiting() const = 0;
  // Replaces Received() with what was waiting.
  virtual std::string ReadPort() = 0;
  virtual std::string& Received() = 0;

  // The text layer: failures are shown in the log view by the line itself.
  virtual void SendText(std::string_view bytes) = 0;
  virtual void SendModemCommand(std::string_view command) = 0;
  virtual bool CarrierLost() = 0;
  // Characters received but not yet taken as a line; shared with SendModemCommand.
  virtual std::string& LineBuffer() = 0;

  // Block transfers; each gives its result text ("Transferencia OK" on success) and why it
  // ended. Bytes a transfer read beyond its end are handed to the next ReadPort, never
  // dropped. `bounds` end a transfer early (a stop, the call's deadline, a received file's
  // size).
  virtual TransferOutcome SendFile(const std::string& data, const TransferBounds& bounds) = 0;
  // Stores "recibo.zip" in `dir` and unpacks it there. Only the archive members named
  // `wanted_names` (bare file names, UTF-8, any letter case) are unpacked; any other is
  // reported and left out.
  virtual TransferOutcome ReceiveFile(const std::filesystem::path& dir,
                                      const std::vector<std::string>& wanted_names,
                                      const TransferBounds& bounds) = 0;
};

}  // namespace marvolen
