#include "transfer/TransferReceiver.h"

#include <vector>

#include "platform/FileNames.h"
#include "transfer/BlockFrame.h"

namespace marvolen {
namespace {

using namespace block;

constexpr int kFirstByteWaitSeconds = 8;
constexpr int kFrameByteWaitSeconds = 4;
// Before the first block: C for the first three requests, NAK from the fourth on.
constexpr int kCrcRequests = 3;
// The eleventh wait of a cycle goes on to collect whatever it brought.
constexpr int kWaitsPerCycle = 10;
constexpr int kErrorLimit = 10;
constexpr int kPendingBlocks = 4;
constexpr Millis kFailurePause{2000};
// Bad frames are answered one by one and each restarts the frame; a sender that keeps
// sending them would hold the station for good. A minute without an accepted block ends the
// transfer, the bound the sender keeps for a receiver that never asks.
constexpr Millis kNoProgressLimit{60000};

// Removes the archive of an earlier call, whatever the letter case of its name.
void RemoveOldArchive(const std::filesystem::path& dir) {
  while (const auto old = FindNoCase(dir, kReceivedArchiveName)) {
    if (!std::filesystem::remove(*old)) break;
  }
}

class Receiver {
 public:
  Receiver(TransferLine& line, const ReceiveSetup& setup) : line_(line), setup_(setup) {}

  ReceivedFile Run() {
    progress_at_ = line_.LineClock().Now();
    line_.SendText(kReceiverOpening);
    line_.SendText(std::string_view(&kCrcRequest, 1));
    for (;;) {
      switch (Cycle()) {
        case CycleEnd::kNext:
          break;
        case CycleEnd::kEndOfFile:
          return EndOfFile();
        case CycleEnd::kFailed:
          return FinishWithFailure();
      }
    }
  }

 private:
  enum class CycleEnd { kNext, kEndOfFile, kFailed };

  CycleEnd Fail(std::string_view result) {
    result_ = result;
    return CycleEnd::kFailed;
  }

  // One frame: wait for its first byte (asking for it while no block has come yet), collect
  // it, check it and answer.
  CycleEnd Cycle() {
    if (line_.CarrierLost()) return Fail(kReceiveNoCarrier);
    if (line_.LineClock().Now() - progress_at_ >= kNoProgressLimit) {
      line_.PurgeInput();
      return Fail(kReceiveTooManyErrors);
    }
    for (int attempt = 1;; ++attempt) {
      std::string got = line_.ReceiveText(kFirstByteWaitSeconds);
      if (!line_.ReadErrorText().empty()) return Fail(kReceiveReadError);
      if (got.empty()) {
        ++errors_;
      } else {
        switch (got[0]) {
          case kSoh:
            block_size_ = kSmallBlock;
            return Collect(std::move(got));
          case kStx:
            block_size_ = kLargeBlock;
            return Collect(std::move(got));
          case kCan:
            return Collect(std::move(got));
          case kEot:
            if (got.size() > 1) line_.Unread(std::string_view(got).substr(1));
            return CycleEnd::kEndOfFile;
          default:
            line_.PurgeInput();
        }
      }
      if (!first_accepted_) {
        if (line_.CarrierLost()) return Fail(kReceiveNoCarrier);
        mode_ = attempt <= kCrcRequests ? CheckMode::kCrc : CheckMode::kChecksum;
        const char request = mode_ == CheckMode::kCrc ? kCrcRequest : kNak;
        line_.SendText(std::string_view(&request, 1));
        if (errors_ > kErrorLimit) {
          line_.PurgeInput();
          return Fail(kReceiveTooManyErrors);
        }
      }
      if (attempt == kWaitsPerCycle) return Collect(std::move(got));
    }
  }

  CycleEnd Collect(std::string frame) {
    const std::size_t length = FrameLength(block_size_, mode_);
    // A sender's cancel usually arrives in one read, so look before asking for more.
    if (frame.starts_with(kThreeCan)) return CancelledBySender();
    while (frame.size() < length) {
      const std::string got = line_.ReceiveText(kFrameByteWaitSeconds);
      if (!line_.ReadErrorText().empty()) return Fail(kReceiveReadError);
      if (got.empty()) {
        ++errors_;
        setup_.sinks.Log("Error de caracter" + std::to_string(errors_));
        if (errors_ > kErrorLimit) {
          line_.PurgeInput();
          return Fail(kReceiveTooManyErrors);
        }
        continue;
      }
      frame += got;
      if (frame.starts_with(kThreeCan)) return CancelledBySender();
    }
    return Answer(frame);
  }

  CycleEnd CancelledBySender() {
    line_.SendText(kReceiverCancelAnswer);
    return Fail(kReceiveCancelled);
  }

  CycleEnd Answer(std::string_view frame) {
    const FrameVerdict verdict = CheckFrame(frame, block_size_, mode_, expected_);
    if (verdict == FrameVerdict::kAccepted) {
      Accept(FrameData(frame, block_size_));
      Note(block_counter_ - 1, "ACK");
      return CycleEnd::kNext;
    }
    // Only the final outcome is reported; a refused frame's text is overwritten by it.
    result_ = VerdictText(verdict, block_counter_);
    ++errors_;
    const char reply = verdict == FrameVerdict::kRepeated ? kAck : kNak;
    line_.SendText(std::string_view(&reply, 1));
    Note(block_counter_, verdict == FrameVerdict::kRepeated ? "ACK (repetido)" : "NAK");
    return CycleEnd::kNext;
  }

  // The block just answered, for the call's transcript.
  void Note(int number, std::string answer) {
    setup_.sinks.Block(
        {number, static_cast<int>(block_size_), mode_ == CheckMode::kCrc, std::move(answer)});
  }

  void Accept(std::string_view data) {
    expected_ = static_cast<std::uint8_t>(expected_ + 1);
    ++block_counter_;
    errors_ = 0;
    progress_at_ = line_.LineClock().Now();
    first_accepted_ = true;
    setup_.sinks.Panel(1, std::to_string(block_counter_));
    if (data.size() == kSmallBlock) {
      pending_.emplace_back(data);
      if (pending_.size() == kPendingBlocks) AppendPending();
    } else {
      AppendPending();
      content_ += data;
    }
    const char ack = kAck;
    line_.SendText(std::string_view(&ack, 1));
  }

  void AppendPending() {
    for (const std::string& block : pending_) content_ += block;
    pending_.clear();
  }

  ReceivedFile EndOfFile() {
    AppendPending();
    const char ack = kAck;
    line_.SendText(std::string_view(&ack, 1));
    const std::filesystem::path archive = setup_.dir / kReceivedArchiveName;
    RemoveOldArchive(setup_.dir);
    WriteNewFile(archive.string(), content_, setup_.archive.files);
    // The sender padded the last block; the archive's real end is where the check passes.
    bool valid = setup_.archive.is_valid(archive);
    for (int removed = 0; !valid && removed < kMaxTrimmedBytes; ++removed) {
      if (!content_.empty()) content_.pop_back();
      try {
        TruncateFile(archive.string(), static_cast<off_t>(content_.size()), setup_.archive.files);
      } catch (const FileError&) {
        setup_.archive.files.unlink(archive.c_str());  // no half-trimmed archive stays behind
        throw;
      }
      valid = setup_.archive.is_valid(archive);
    }
    if (!valid) return {std::move(content_), std::string(kReceiveBadArchive)};
    std::string result(kReceiveOk);
    try {
      setup_.archive.extract(archive, setup_.dir, setup_.wanted);
    } catch (const std::exception&) {
      result = kReceiveBadArchive;
    }
    return {std::move(content_), std::move(result)};
  }

  ReceivedFile FinishWithFailure() {
    line_.LineClock().Sleep(kFailurePause);
    line_.PurgeAll();
    line_.SendText(kReceiverFailureClosing);
    return {std::string(), std::move(result_)};
  }

  TransferLine& line_;
  const ReceiveSetup& setup_;
  std::string content_;
  std::vector<std::string> pending_;
  std::size_t block_size_ = kSmallBlock;
  CheckMode mode_ = CheckMode::kCrc;
  std::uint8_t expected_ = 1;
  int block_counter_ = 1;
  int errors_ = 0;
  bool first_accepted_ = false;
  MonoTime progress_at_{};  // the opening, or the last accepted block
  std::string result_;
};

}  // namespace

ReceivedFile ReceiveFile(TransferLine& line, const ReceiveSetup& setup) {
  return Receiver(line, setup).Run();
}

}  // namespace marvolen
