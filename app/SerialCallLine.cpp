#include "app/SerialCallLine.h"

#include <filesystem>
#include <utility>

#include "link/SerialDevice.h"
#include "transfer/TransferArchive.h"
#include "transfer/TransferSender.h"
#include "transfer/TransferSerialLine.h"

namespace marvolen {

SerialCallLine::SerialCallLine(SerialLine& serial, Clock& clock, std::uint32_t speed,
                               ArchiveHooks archive, TransferSinks sinks)
    : serial_(serial),
      speed_(speed),
      archive_(std::move(archive)),
      sinks_(std::move(sinks)),
      transfer_(std::make_unique<SerialTransferLine>(serial, clock)) {}

SerialCallLine::~SerialCallLine() = default;

std::string SerialCallLine::OpenPort() {
  return serial_.OpenPort(Port(), speed_, kNoParity, 8, kOneStopBit);
}

std::string SerialCallLine::ClosePort() {
  return serial_.ClosePort(Port());
}

std::string SerialCallLine::PurgeAll() {
  return serial_.PurgeAll(Port());
}

std::string SerialCallLine::PurgeInput() {
  return serial_.PurgeInput(Port());
}

std::string SerialCallLine::SetPortLines(PortLine line) {
  return serial_.SetPortLines(Port(), static_cast<int>(line));
}

std::string SerialCallLine::ClearPortErrors() {
  return serial_.ClearPortErrors(Port());
}

std::string SerialCallLine::ReadModemStatus() {
  return serial_.ReadModemStatus(Port());
}

std::size_t SerialCallLine::BytesWaiting() const {
  const PortEntry* entry = serial_.Ports().Find(Port());
  return entry != nullptr ? entry->status.cbInQue : 0;
}

std::string SerialCallLine::ReadPort() {
  return serial_.ReadPort(Port());
}

std::string& SerialCallLine::Received() {
  PortEntry* entry = serial_.ConfiguredEntry();
  return entry != nullptr ? entry->received : no_port_received_;
}

void SerialCallLine::SendText(std::string_view bytes) {
  serial_.SendText(bytes);
  if (observer_ != nullptr) observer_->LineSent(bytes);
}

void SerialCallLine::ForgetTransferReads() {
  Received().clear();
}

TransferOutcome SerialCallLine::SendFile(const std::string& data, const TransferBounds& bounds) {
  TransferOutcome outcome = marvolen::SendFile(*transfer_, data, sinks_, bounds);
  ForgetTransferReads();
  return outcome;
}

TransferOutcome SerialCallLine::ReceiveFile(const std::filesystem::path& dir,
                                            const std::vector<std::string>& wanted_names,
                                            const TransferBounds& bounds) {
  ReceiveSetup setup;
  setup.dir = dir;
  setup.archive = archive_;
  setup.wanted = OnlyNamed(wanted_names);
  setup.sinks = sinks_;
  setup.bounds = bounds;
  ReceivedFile received = marvolen::ReceiveFile(*transfer_, setup);
  ForgetTransferReads();
  return std::move(static_cast<TransferOutcome&>(received));
}

}  // namespace marvolen
