// The block transfer on the station's serial line: the text layer on the configured port.
#pragma once

#include <string>
#include <string_view>

#include "link/SerialLine.h"
#include "transfer/TransferLine.h"

namespace marvolen {

class SerialTransferLine final : public TransferLine {
 public:
  // `clock` is the one `serial` waits on.
  SerialTransferLine(SerialLine& serial, Clock& clock) : serial_(serial), clock_(clock) {}

  void SendText(std::string_view bytes) override { serial_.SendText(bytes); }
  std::string ReceiveText(int seconds) override { return serial_.ReceiveText(seconds); }
  std::string ReceiveAtLeast(int seconds, std::size_t wanted) override {
    return serial_.ReceiveText(seconds, wanted);
  }
  std::string ReadErrorText() const override { return serial_.ReadErrorText(); }
  bool CarrierLost() override { return serial_.CarrierLost(); }
  // The driver's error text is of no use to a transfer, whose next wait tells what the line
  // does; the transfer shows nothing for it.
  void PurgeInput() override { serial_.PurgeInput(serial_.ConfiguredPort()); }
  void PurgeAll() override { serial_.PurgeAll(serial_.ConfiguredPort()); }
  // The driver keeps them for the next ReadPort, where the call's script finds them.
  void Unread(std::string_view bytes) override { serial_.Unread(bytes); }
  Clock& LineClock() override { return clock_; }

 private:
  SerialLine& serial_;
  Clock& clock_;
};

}  // namespace marvolen
