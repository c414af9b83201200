#include "transfer/TransferSender.h"

#include <optional>
#include <utility>

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
  Sender(TransferLine& line, std::string_view content, const TransferSinks& sinks,
         const TransferBounds& bounds)
      : line_(line), content_(content), sinks_(sinks), waits_(line, bounds) {}

  TransferOutcome Run() {
    if (!AwaitRequest()) return Cancel();
    std::string padded(content_);
    padded.append(kPadding, '\0');
    std::size_t sent = 0;
    std::size_t block_size = kLargeBlock;
    unsigned number = 0;
    do {
      if (waits_.MustEnd()) return Cut();
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
      out_.moved += block_size;
      waits_.Moved(block_size);
    } while (sent < content_.size());
    return EndOfFile();
  }

 private:
  // Gives up with `detail` as the reason; false, for the callers to return.
  bool GiveUp(std::string detail) {
    out_.detail = std::move(detail);
    return false;
  }

  // A bound or the carrier has ended the transfer (BoundedWaits says which).
  bool Ended() {
    const TransferEnd why = waits_.Why();
    out_.end = why;
    if (why == TransferEnd::kCarrierLost) {
      out_.result = kSendNoCarrier;
      return GiveUp("se perdió la portadora");
    }
    out_.result = BoundedWaits::ResultFor(why);
    return GiveUp(out_.result);
  }

  TransferOutcome Cut() {
    Ended();
    return Cancel();
  }

  // Waits for the receiver's C (CRC mode) or NAK (checksum mode).
  bool AwaitRequest() {
    Clock& clock = line_.LineClock();
    const MonoTime start = clock.Now();
    int silent = 0;
    for (;;) {
      const std::optional<std::string> answer = waits_.Receive(kRequestWaitSeconds);
      if (!answer) return Ended();
      if (!line_.ReadErrorText().empty()) return GiveUp(line_.ReadErrorText());
      if (answer->empty()) {
        if (++silent > kRequestSilentLimit) return GiveUp("el receptor no pidió el archivo");
        continue;
      }
      // A receiver may lead its request with XON and XOFF (this station's own does); on a
      // fast line they arrive in the same read as the request, which must not be missed.
      const std::size_t first = answer->find_first_not_of("\x11\x13");
      switch (first == std::string::npos ? '\0' : (*answer)[first]) {
        case kCrcRequest:
          mode_ = CheckMode::kCrc;
          return true;
        case kNak:
          mode_ = CheckMode::kChecksum;
          return true;
        case kCan:
          return GiveUp("el receptor canceló la transferencia");
        default:
          if (clock.Now() - start >= kRequestWaitLimit) {
            return GiveUp("el receptor no pidió el archivo");
          }
      }
    }
  }

  // Sends one frame until it is acknowledged; false when the transfer must be cancelled.
  bool DeliverFrame(const std::string& frame, int number, int size) {
    for (;;) {
      line_.SendText(frame);
      const Answer answer = AwaitAnswer(number);
      sinks_.Block({number, size, mode_ == CheckMode::kCrc,
                    answer == Answer::kAcknowledged ? "ACK"
                    : answer == Answer::kResend     ? "NAK"
                                                    : "sin respuesta válida"});
      if (answer == Answer::kAcknowledged) return true;
      if (answer == Answer::kGiveUp) return false;
    }
  }

  enum class Answer { kAcknowledged, kResend, kGiveUp };

  Answer AwaitAnswer(int number) {
    const std::string block = "bloque " + std::to_string(number);
    for (;;) {
      std::optional<std::string> answer = waits_.Receive(kAnswerWaitSeconds);
      if (!answer) return EndedAnswer();
      if (!line_.ReadErrorText().empty()) return GiveUpAnswer(line_.ReadErrorText());
      if (answer->empty()) {
        // Silence: keep waiting; the receiver asks again when it wants the frame again.
        if (++attempts_ > kSilentLimit) return GiveUpAnswer(block + " sin respuesta");
        continue;
      }
      if ((*answer)[0] == kAck) {
        attempts_ = 0;
        return Answer::kAcknowledged;
      }
      if (++attempts_ > kRefusedLimit) {
        return GiveUpAnswer(block + " sin respuesta válida tras " + std::to_string(kRefusedLimit) +
                            " reenvíos");
      }
      // The receiver's cancel may arrive whole or split over reads; a lone CAN may be line
      // noise, so it takes two more CANs within the follow-up reads to end the transfer.
      if (StartsWithThreeCan(*answer)) return ReceiverCancelled();
      if (answer->size() == 1 && (*answer)[0] == kCan) {
        for (int i = 0; i < kCancelFollowUpReads; ++i) {
          const std::optional<std::string> more = waits_.Receive(kCancelFollowUpSeconds);
          if (!more) return EndedAnswer();
          if (!line_.ReadErrorText().empty()) return GiveUpAnswer(line_.ReadErrorText());
          *answer += *more;
          if (StartsWithThreeCan(*answer)) return ReceiverCancelled();
        }
        return Answer::kResend;
      }
      // NAK, a repeated request or noise: start the resent frame on a clean input.
      line_.PurgeInput();
      return Answer::kResend;
    }
  }

  Answer ReceiverCancelled() { return GiveUpAnswer("el receptor canceló la transferencia"); }
  Answer GiveUpAnswer(std::string detail) {
    GiveUp(std::move(detail));
    return Answer::kGiveUp;
  }
  Answer EndedAnswer() {
    Ended();
    return Answer::kGiveUp;
  }

  TransferOutcome EndOfFile() {
    line_.SendText(std::string_view(&kEot, 1));
    for (;;) {
      const std::optional<std::string> answer = waits_.Receive(kAnswerWaitSeconds);
      if (!answer) {
        // The data is across; only a stop or a bound of the call is told with the cancel
        // sequence.
        const bool carrier = waits_.Why() == TransferEnd::kCarrierLost;
        Ended();
        return carrier ? std::move(out_) : Cancel();
      }
      if (!line_.ReadErrorText().empty()) {
        GiveUp(line_.ReadErrorText());
        return std::move(out_);
      }
      if (!answer->empty() && (*answer)[0] == kAck) {
        out_.result = kSendOk;
        out_.end = TransferEnd::kDone;
        out_.detail.clear();
        // The office may follow its ACK at once with its next line; that belongs to the caller.
        if (answer->size() > 1) line_.Unread(std::string_view(*answer).substr(1));
        return std::move(out_);
      }
      if (++attempts_ > kEotResendLimit) {
        GiveUp("EOT sin confirmar");
        return std::move(out_);
      }
      line_.SendText(std::string_view(&kEot, 1));
    }
  }

  TransferOutcome Cancel() {
    line_.SendText(kSenderCancel);
    return std::move(out_);
  }

  TransferLine& line_;
  std::string_view content_;
  const TransferSinks& sinks_;
  BoundedWaits waits_;
  CheckMode mode_ = CheckMode::kCrc;
  int attempts_ = 0;
  // Aborted unless success, the carrier or a bound says otherwise.
  TransferOutcome out_ = Aborted();

  static TransferOutcome Aborted() {
    TransferOutcome out;
    out.result = kSendAborted;
    return out;
  }
};

}  // namespace

TransferOutcome SendFile(TransferLine& line, std::string_view content, const TransferSinks& sinks,
                         const TransferBounds& bounds) {
  return Sender(line, content, sinks, bounds).Run();
}

}  // namespace marvolen
