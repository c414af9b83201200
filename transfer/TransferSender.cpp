#include "transfer/TransferSender.h"

#include "transfer/BlockFrame.h"

namespace marvolen {
namespace {

using namespace block;

constexpr int kRequestWaitSeconds = 10;
// The fifth silent wait for the receiver's request gives up.
constexpr int kRequestSilentLimit = 4;
// Bytes other than a request are ignored while the request is awaited; a line that keeps
// sending them would otherwise hold the station in this wait for good. Five silent waits
// take 50 s, so a receiver that is merely slow never meets this limit.
constexpr Millis kRequestWaitLimit{60000};
constexpr int kAnswerWaitSeconds = 10;
// One block tolerates 20 silent waits and 10 answers other than ACK, counted together.
constexpr int kSilentLimit = 20;
constexpr int kRefusedLimit = 10;
constexpr int kCancelFollowUpSeconds = 2;
constexpr int kCancelFollowUpReads = 2;
constexpr int kEotResendLimit = 10;

bool StartsWithThreeCan(std::string_view answer) {
  return answer.starts_with(kThreeCan);
}

class Sender {
 public:
  Sender(TransferLine& line, std::string_view content, const TransferSinks& sinks)
      : line_(line), content_(content), sinks_(sinks) {}

  std::string Run() {
    if (!AwaitRequest()) return Cancel();
    std::string padded(content_);
    padded.append(kPadding, '\0');
    std::size_t sent = 0;
    std::size_t block_size = kLargeBlock;
    unsigned number = 0;
    do {
      if (line_.CarrierLost()) {
        result_ = kSendNoCarrier;
        return Cancel();
      }
      ++number;
      attempts_ = 0;
      sinks_.Panel(3, std::to_string(number));
      block_size = NextBlockSize(block_size, content_.size() - sent);
      const std::string frame =
          BuildFrame(number, std::string_view(padded).substr(sent, block_size), mode_);
      sent += block_size;
      if (!DeliverFrame(frame, static_cast<int>(number), static_cast<int>(block_size))) {
        return Cancel();
      }
    } while (sent < content_.size());
    return EndOfFile();
  }

 private:
  // Waits for the receiver's C (CRC mode) or NAK (checksum mode).
  bool AwaitRequest() {
    Clock& clock = line_.LineClock();
    const MonoTime start = clock.Now();
    int silent = 0;
    for (;;) {
      if (CarrierGone()) return false;
      const std::string answer = line_.ReceiveText(kRequestWaitSeconds);
      if (!line_.ReadErrorText().empty()) return false;
      if (answer.empty()) {
        if (++silent > kRequestSilentLimit) return false;
        continue;
      }
      // A receiver may lead its request with XON and XOFF (this station's own does); on a
      // fast line they arrive in the same read as the request, which must not be missed.
      const std::size_t first = answer.find_first_not_of("\x11\x13");
      switch (first == std::string::npos ? '\0' : answer[first]) {
        case kCrcRequest:
          mode_ = CheckMode::kCrc;
          return true;
        case kNak:
          mode_ = CheckMode::kChecksum;
          return true;
        case kCan:
          return false;
        default:
          if (clock.Now() - start >= kRequestWaitLimit) return false;
      }
    }
  }

  // Sends one frame until it is acknowledged; false when the transfer must be cancelled.
  bool DeliverFrame(const std::string& frame, int number, int size) {
    for (;;) {
      line_.SendText(frame);
      const Answer answer = AwaitAnswer();
      sinks_.Block({number, size, mode_ == CheckMode::kCrc,
                    answer == Answer::kAcknowledged ? "ACK"
                    : answer == Answer::kResend     ? "NAK"
                                                    : "sin respuesta válida"});
      if (answer == Answer::kAcknowledged) return true;
      if (answer == Answer::kGiveUp) return false;
    }
  }

  enum class Answer { kAcknowledged, kResend, kGiveUp };

  Answer AwaitAnswer() {
    for (;;) {
      std::string answer = line_.ReceiveText(kAnswerWaitSeconds);
      if (!line_.ReadErrorText().empty()) return Answer::kGiveUp;
      if (answer.empty()) {
        // Silence: keep waiting; the receiver asks again when it wants the frame again.
        if (++attempts_ > kSilentLimit || CarrierGone()) return Answer::kGiveUp;
        continue;
      }
      if (answer[0] == kAck) {
        attempts_ = 0;
        return Answer::kAcknowledged;
      }
      if (++attempts_ > kRefusedLimit) return Answer::kGiveUp;
      // The receiver's cancel may arrive whole or split over reads; a lone CAN may be line
      // noise, so it takes two more CANs within the follow-up reads to end the transfer.
      if (StartsWithThreeCan(answer)) return Answer::kGiveUp;
      if (answer.size() == 1 && answer[0] == kCan) {
        for (int i = 0; i < kCancelFollowUpReads; ++i) {
          answer += line_.ReceiveText(kCancelFollowUpSeconds);
          if (!line_.ReadErrorText().empty()) return Answer::kGiveUp;
          if (StartsWithThreeCan(answer)) return Answer::kGiveUp;
        }
        return Answer::kResend;
      }
      // NAK, a repeated request or noise: start the resent frame on a clean input.
      line_.PurgeInput();
      return Answer::kResend;
    }
  }

  std::string EndOfFile() {
    line_.SendText(std::string_view(&kEot, 1));
    for (;;) {
      const std::string answer = line_.ReceiveText(kAnswerWaitSeconds);
      if (!line_.ReadErrorText().empty()) return result_;
      if (!answer.empty() && answer[0] == kAck) {
        result_ = kSendOk;
        // The office may follow its ACK at once with its next line; that belongs to the caller.
        if (answer.size() > 1) line_.Unread(std::string_view(answer).substr(1));
        return result_;
      }
      if (++attempts_ > kEotResendLimit) return result_;
      if (answer.empty() && CarrierGone()) return result_;
      line_.SendText(std::string_view(&kEot, 1));
    }
  }

  // A receiver that hung up will not answer: waiting on would only hold the station (five
  // waits of 10 s for the request, twenty for a block's answer).
  bool CarrierGone() {
    if (!line_.CarrierLost()) return false;
    result_ = kSendNoCarrier;
    return true;
  }

  std::string Cancel() {
    line_.SendText(kSenderCancel);
    return result_;
  }

  TransferLine& line_;
  std::string_view content_;
  const TransferSinks& sinks_;
  CheckMode mode_ = CheckMode::kCrc;
  int attempts_ = 0;
  std::string result_{kSendAborted};
};

}  // namespace

std::string SendFile(TransferLine& line, std::string_view content, const TransferSinks& sinks) {
  return Sender(line, content, sinks).Run();
}

}  // namespace marvolen
