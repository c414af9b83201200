#include "FakeCallLine.h"

#include <algorithm>

namespace marvolen::testing {

std::string FakeCallLine::OpenPort() {
  ++opens;
  open = open_error.empty();
  return open_error;
}

std::string FakeCallLine::ClosePort() {
  ++closes;
  open = false;
  // Closing the port hangs the modem up.
  carrier = false;
  return "";
}

std::string FakeCallLine::SetPortLines(PortLine) {
  return open ? "" : "ERROR puerto cerrado";
}

std::string FakeCallLine::PurgeInput() {
  ++input_purges;
  incoming_.clear();
  waiting_count_ = 0;
  return "";
}

std::string FakeCallLine::ClearPortErrors() {
  waiting_count_ = incoming_.size();
  return "";
}

std::string FakeCallLine::ReadPort() {
  received_ = incoming_;
  incoming_.clear();
  waiting_count_ = 0;
  return "";
}

TransferOutcome FakeCallLine::Outcome(const std::string& result, const TransferBounds& given) {
  bounds = given;
  const bool ok = result == "Transferencia OK";
  TransferOutcome outcome = ok ? TransferOutcome{} : failed;
  outcome.result = result;
  if (ok) outcome.end = TransferEnd::kDone;
  return outcome;
}

TransferOutcome FakeCallLine::SendFile(const std::string& data, const TransferBounds& bounds) {
  files_sent.push_back(data);
  received_.clear();
  incoming_ = after_transfer + incoming_;
  after_transfer.clear();
  return Outcome(send_result, bounds);
}

bool FakeCallLine::CarrierLost() {
  if (!carrier_script.empty()) {
    const bool present = carrier_script.front();
    carrier_script.pop_front();
    return !present;
  }
  return !carrier;
}

TransferOutcome FakeCallLine::ReceiveFile(const std::filesystem::path& dir,
                                          const std::vector<std::string>& wanted_names,
                                          const TransferBounds& bounds) {
  wanted.push_back(wanted_names);
  receive_dirs.push_back(dir);
  if (on_receive) on_receive(dir);
  received_.clear();
  incoming_ = after_transfer + incoming_;
  after_transfer.clear();
  return Outcome(receive_result, bounds);
}

int FakeCallLine::CountSent(std::string_view prefix) const {
  return static_cast<int>(std::count_if(sent.begin(), sent.end(), [&](const std::string& s) {
    return s.compare(0, prefix.size(), prefix) == 0;
  }));
}

int RecordingWindow::Count(std::string_view line) const {
  return static_cast<int>(std::count(lines.begin(), lines.end(), std::string(line)));
}

}  // namespace marvolen::testing
