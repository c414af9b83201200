// The call's line on the real serial driver: the configured port, its text layer, and the
// block transfers run over it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "call/CallLine.h"
#include "call/CallObserver.h"
#include "link/SerialLine.h"
#include "transfer/TransferLine.h"
#include "transfer/TransferReceiver.h"

namespace marvolen {

class SerialCallLine final : public CallLine {
 public:
  // `archive` checks and unpacks what ReceiveFile stores; `sinks` take the transfers' log
  // lines and counters.
  SerialCallLine(SerialLine& serial, Clock& clock, std::uint32_t speed, ArchiveHooks archive,
                 TransferSinks sinks);
  ~SerialCallLine() override;

  std::string OpenPort() override;
  std::string ClosePort() override;
  std::string PurgeAll() override;
  std::string PurgeInput() override;
  std::string SetPortLines(PortLine line) override;
  std::string ClearPortErrors() override;
  std::string ReadModemStatus() override;
  std::size_t BytesWaiting() const override;
  std::string ReadPort() override;
  std::string& Received() override;
  // Every text sent also goes to `observer`'s record of the call (none when null).
  void SetObserver(CallObserver* observer) { observer_ = observer; }

  void SendText(std::string_view bytes) override;
  void SendModemCommand(std::string_view command) override { serial_.SendModemCommand(command); }
  bool CarrierLost() override { return serial_.CarrierLost(); }
  std::string& LineBuffer() override { return serial_.LineBuffer(); }
  TransferOutcome SendFile(const std::string& data, const TransferBounds& bounds) override;
  TransferOutcome ReceiveFile(const std::filesystem::path& dir,
                              const std::vector<std::string>& wanted_names,
                              const TransferBounds& bounds) override;

 private:
  int Port() const { return serial_.ConfiguredPort(); }
  // The transfer has read the port itself: what it read is not for the script's scan.
  void ForgetTransferReads();

  SerialLine& serial_;
  std::uint32_t speed_;
  ArchiveHooks archive_;
  TransferSinks sinks_;
  std::unique_ptr<TransferLine> transfer_;
  CallObserver* observer_ = nullptr;
  // Stands in for the received bytes of a port number the table has no entry for.
  std::string no_port_received_;
};

}  // namespace marvolen
