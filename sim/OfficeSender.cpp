#include "sim/OfficeSender.h"

#include "transfer/BlockFrame.h"
#include "transfer/TransferSender.h"

namespace marvolen::office {

namespace {

using namespace block;

constexpr int kWaitSeconds = 10;
// The station's receiver repeats its request every 8 s; six silent waits mean it is gone.
constexpr int kRequestWaits = 6;
// Resends of one block (after silence or a refusal) and of EOT before giving up.
constexpr int kResendLimit = 10;

class Sender {
 public:
  Sender(TransferLine& line, std::string_view content) : line_(line), content_(content) {}

  std::string Run() {
    if (!AwaitRequest()) return Cancel();
    std::string padded(content_);
    padded.append(kLargeBlock, '\0');
    std::size_t sent = 0, size = kLargeBlock;
    unsigned number = 0;
    do {
      size = OfficeBlockSize(size, content_.size() - sent);
      const std::string frame =
          BuildFrame(++number, std::string_view(padded).substr(sent, size), mode_);
      if (!Deliver(frame)) return Cancel();
      sent += size;
    } while (sent < content_.size());
    return EndOfFile();
  }

 private:
  // The receiver opens with XON XOFF and then its request; anything else is noise.
  bool AwaitRequest() {
    for (int wait = 0; wait < kRequestWaits; ++wait) {
      const std::string got = line_.ReceiveText(kWaitSeconds);
      if (!line_.ReadErrorText().empty() || line_.CarrierLost()) return false;
      for (char c : got) {
        if (c == kCrcRequest || c == kNak) {
          mode_ = c == kCrcRequest ? CheckMode::kCrc : CheckMode::kChecksum;
          return true;
        }
        if (c == kCan) return false;
      }
    }
    return false;
  }

  bool Deliver(const std::string& frame) {
    for (int attempt = 0; attempt <= kResendLimit; ++attempt) {
      if (line_.CarrierLost()) {
        result_ = kSendNoCarrier;
        return false;
      }
      line_.SendText(frame);
      const std::string answer = line_.ReceiveText(kWaitSeconds);
      if (!line_.ReadErrorText().empty()) return false;
      if (!answer.empty() && answer[0] == kAck) return true;
      if (answer.find(std::string(2, kCan)) != std::string::npos) return false;
      // A refusal, a repeated request or noise: start clean and send the block again.
      if (!answer.empty()) line_.PurgeInput();
    }
    return false;
  }

  std::string EndOfFile() {
    for (int attempt = 0; attempt <= kResendLimit && !line_.CarrierLost(); ++attempt) {
      line_.SendText(std::string(1, kEot));
      const std::string answer = line_.ReceiveText(kWaitSeconds);
      if (!line_.ReadErrorText().empty()) break;
      if (!answer.empty() && answer[0] == kAck) {
        line_.Unread(std::string_view(answer).substr(1));
        return std::string(kSendOk);
      }
    }
    return std::string(line_.CarrierLost() ? kSendNoCarrier : kSendAborted);
  }

  std::string Cancel() {
    if (!line_.CarrierLost()) line_.SendText(kSenderCancel);
    return std::string(line_.CarrierLost() ? kSendNoCarrier : result_);
  }

  TransferLine& line_;
  std::string_view content_;
  CheckMode mode_ = CheckMode::kCrc;
  std::string_view result_ = kSendAborted;
};

}  // namespace

std::size_t OfficeBlockSize(std::size_t previous, std::size_t remaining) {
  return previous == kSmallBlock || remaining <= kLargeBlockMinimum ? kSmallBlock : kLargeBlock;
}

std::string SendBlocks(TransferLine& line, std::string_view content) {
  return Sender(line, content).Run();
}

}  // namespace marvolen::office
