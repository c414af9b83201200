#include "transfer/TransferLine.h"

#include <cctype>

namespace marvolen {

bool TransferSucceeded(std::string_view result) {
  constexpr std::string_view kGood = "TRANSFERENCIA OK";
  if (result.size() != kGood.size()) return false;
  for (std::size_t i = 0; i < result.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(result[i])) != kGood[i]) return false;
  }
  return true;
}

bool BoundedWaits::MustEnd() {
  if (bounds_.stop.Requested()) {
    why_ = TransferEnd::kStopped;
  } else if (const CallBound bound = bounds_.progress != nullptr
                                         ? bounds_.progress->Reached(line_.LineClock().Now())
                                         : CallBound::kNone;
             bound != CallBound::kNone) {
    why_ = bound == CallBound::kIdle ? TransferEnd::kNoProgress : TransferEnd::kOutOfTime;
  } else if (line_.CarrierLost()) {
    why_ = TransferEnd::kCarrierLost;
  } else {
    return false;
  }
  return true;
}

void BoundedWaits::Moved(std::uint64_t bytes) {
  if (bounds_.progress != nullptr) bounds_.progress->Moved(bytes, line_.LineClock().Now());
}

std::optional<std::string> BoundedWaits::Receive(int seconds, std::size_t wanted) {
  for (int second = 0; second < seconds; ++second) {
    if (MustEnd()) return std::nullopt;
    std::string got = wanted > 1 ? line_.ReceiveAtLeast(1, wanted) : line_.ReceiveText(1);
    if (!got.empty() || !line_.ReadErrorText().empty()) return got;
  }
  return std::string();
}

std::string_view BoundedWaits::ResultFor(TransferEnd why) {
  switch (why) {
    case TransferEnd::kStopped:
      return kTransferStopped;
    case TransferEnd::kOutOfTime:
      return kTransferOutOfTime;
    case TransferEnd::kNoProgress:
      return kTransferNoProgress;
    case TransferEnd::kTooLarge:
      return kTransferTooLarge;
    default:
      return {};
  }
}

}  // namespace marvolen
