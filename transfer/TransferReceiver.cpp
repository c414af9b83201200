#include "transfer/TransferReceiver.h"

#include <algorithm>
#include <cstdint>
#include <optional>
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
void RemoveOldArchive(const FileOps& files, const std::filesystem::path& dir) {
  while (const auto old = FindNoCase(dir, kReceivedArchiveName)) {
    if (files.unlink(old->c_str()) != 0) break;
  }
}

// The most padding a sender puts behind the file: its last block is a 128-byte one, or a
// 1024-byte one with 128 bytes or fewer of it left over.
constexpr std::size_t kMostPadding = kSmallBlock;

std::string SizeText(std::uint64_t bytes) {
  constexpr std::uint64_t kMiB = 1 << 20;
  if (bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

class Receiver {
 public:
  Receiver(TransferLine& line, const ReceiveSetup& setup)
      : line_(line), setup_(setup), waits_(line, setup.bounds) {}

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

  CycleEnd Fail(std::string_view result, std::string detail,
                TransferEnd end = TransferEnd::kFailed) {
    out_.result = result;
    out_.detail = std::move(detail);
    out_.end = end;
    return CycleEnd::kFailed;
  }

  // A bound or the carrier ends the transfer (BoundedWaits tells which).
  CycleEnd Cut() {
    if (waits_.Why() == TransferEnd::kCarrierLost) return NoCarrier();
    return Cancel(waits_.Why(), std::string(BoundedWaits::ResultFor(waits_.Why())));
  }

  CycleEnd NoCarrier() {
    return Fail(kReceiveNoCarrier, "se perdió la portadora", TransferEnd::kCarrierLost);
  }

  CycleEnd Cancel(TransferEnd why, std::string detail) {
    out_.result = BoundedWaits::ResultFor(why);
    out_.detail = std::move(detail);
    out_.end = why;
    return CycleEnd::kFailed;
  }

  // Why the error count ran out, for the call's record.
  std::string TooManyErrorsDetail() const {
    if (last_refusal_.empty()) return "el emisor no envía datos";
    return "último bloque rechazado: " + last_refusal_;
  }

  // One frame: wait for its first byte (asking for it while no block has come yet), collect
  // it, check it and answer.
  CycleEnd Cycle() {
    if (line_.CarrierLost()) return NoCarrier();
    if (line_.LineClock().Now() - progress_at_ >= kNoProgressLimit) {
      line_.PurgeInput();
      return Fail(kReceiveTooManyErrors,
                  "ningún bloque aceptado en 60 s; " + TooManyErrorsDetail());
    }
    for (int attempt = 1;; ++attempt) {
      std::optional<std::string> got = waits_.Receive(kFirstByteWaitSeconds);
      if (!got) return Cut();
      if (!line_.ReadErrorText().empty()) return ReadError();
      if (got->empty()) {
        ++errors_;
      } else {
        switch ((*got)[0]) {
          case kSoh:
            block_size_ = kSmallBlock;
            return Collect(std::move(*got));
          case kStx:
            block_size_ = kLargeBlock;
            return Collect(std::move(*got));
          case kCan:
            return Collect(std::move(*got));
          case kEot:
            if (got->size() > 1) line_.Unread(std::string_view(*got).substr(1));
            return CycleEnd::kEndOfFile;
          default:
            line_.PurgeInput();
        }
      }
      if (!first_accepted_) {
        if (line_.CarrierLost()) return NoCarrier();
        mode_ = attempt <= kCrcRequests ? CheckMode::kCrc : CheckMode::kChecksum;
        const char request = mode_ == CheckMode::kCrc ? kCrcRequest : kNak;
        line_.SendText(std::string_view(&request, 1));
        if (errors_ > kErrorLimit) {
          line_.PurgeInput();
          return Fail(kReceiveTooManyErrors, TooManyErrorsDetail());
        }
      }
      if (attempt == kWaitsPerCycle) return Collect(std::move(*got));
    }
  }

  CycleEnd ReadError() { return Fail(kReceiveReadError, line_.ReadErrorText()); }

  CycleEnd Collect(std::string frame) {
    const std::size_t length = FrameLength(block_size_, mode_);
    // A sender's cancel usually arrives in one read, so look before asking for more.
    if (frame.starts_with(kThreeCan)) return CancelledBySender();
    frame.reserve(length);
    while (frame.size() < length) {
      // A block is of no use until it is whole: the line may sleep until its last byte. What
      // did not start as a block (a cancel) is looked at as each part comes.
      const bool block = !frame.empty() && (frame[0] == kSoh || frame[0] == kStx);
      const std::size_t wanted = block ? length - frame.size() : 1;
      const std::optional<std::string> got = waits_.Receive(kFrameByteWaitSeconds, wanted);
      if (!got) return Cut();
      if (!line_.ReadErrorText().empty()) return ReadError();
      if (got->empty()) {
        ++errors_;
        setup_.sinks.Log("Error de caracter" + std::to_string(errors_));
        if (errors_ > kErrorLimit) {
          line_.PurgeInput();
          return Fail(kReceiveTooManyErrors, "bloque " + std::to_string(block_counter_) +
                                                 " incompleto: " + std::to_string(frame.size()) +
                                                 " de " + std::to_string(length) + " bytes");
        }
        continue;
      }
      frame += *got;
      if (frame.starts_with(kThreeCan)) return CancelledBySender();
    }
    return Answer(frame);
  }

  CycleEnd CancelledBySender() {
    line_.SendText(kReceiverCancelAnswer);
    return Fail(kReceiveCancelled, "el emisor canceló la transferencia");
  }

  CycleEnd Answer(std::string_view frame) {
    const FrameVerdict verdict = CheckFrame(frame, block_size_, mode_, expected_);
    if (verdict == FrameVerdict::kAccepted) {
      const std::uint64_t bound = setup_.bounds.max_bytes;
      // Refused before it is acknowledged or kept: the archive could no longer fit.
      if (bound != 0 && out_.moved + block_size_ > bound + kMostPadding) {
        return Cancel(TransferEnd::kTooLarge, "el archivo recibido pasa de " + SizeText(bound));
      }
      Accept(FrameData(frame, block_size_));
      Note(block_counter_ - 1, "ACK");
      return CycleEnd::kNext;
    }
    // Only the final outcome is reported; a refused frame's text is kept for its detail.
    last_refusal_ = VerdictText(verdict, block_counter_);
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
    last_refusal_.clear();
    out_.moved += data.size();
    waits_.Moved(data.size());
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
    // The sender padded the last block; the archive's real end is the longest length, within
    // the padding a sender may add, at which the check passes. Without one the file is kept
    // shortened by that much, as the office's program leaves it.
    const std::optional<std::size_t> length =
        setup_.archive.archive_length(content_, static_cast<std::size_t>(kMaxTrimmedBytes));
    const bool valid = length.has_value();
    content_.resize(valid ? *length
                          : content_.size() - std::min(content_.size(),
                                                       static_cast<std::size_t>(kMaxTrimmedBytes)));
    RemoveOldArchive(setup_.archive.files, setup_.dir);
    WriteNewFile(archive.string(), content_, setup_.archive.files);
    out_.end = TransferEnd::kDone;
    if (!valid) {
      out_.result = kReceiveBadArchive;
      out_.detail = "el archivo recibido (" + std::to_string(out_.moved) +
                    " bytes) no es un archivo ZIP válido";
      return Finished();
    }
    const std::uint64_t bound = setup_.bounds.max_bytes;
    if (bound != 0 && content_.size() > bound) {
      setup_.archive.files.unlink(archive.c_str());
      content_.clear();
      Cancel(TransferEnd::kTooLarge, "el archivo recibido pasa de " + SizeText(bound));
      return Finished();
    }
    out_.result = kReceiveOk;
    try {
      setup_.archive.extract(archive, setup_.dir, setup_.wanted);
    } catch (const std::exception& e) {
      out_.result = kReceiveBadArchive;
      out_.detail = e.what();
    }
    return Finished();
  }

  ReceivedFile Finished() {
    ReceivedFile done;
    static_cast<TransferOutcome&>(done) = std::move(out_);
    done.content = std::move(content_);
    return done;
  }

  // Every failure, the protocol's own or a bound's, ends with the receiver's closing sequence,
  // which is what the office's program knows to end its side on. The pause lets a sender that
  // is still sending finish its frame before the purge; a line without carrier has no one left
  // on it, and a station being stopped must be gone within a second, so both skip it.
  ReceivedFile FinishWithFailure() {
    if (out_.end != TransferEnd::kCarrierLost && out_.end != TransferEnd::kStopped)
      line_.LineClock().Sleep(kFailurePause);
    line_.PurgeAll();
    line_.SendText(kReceiverFailureClosing);
    content_.clear();
    return Finished();
  }

  TransferLine& line_;
  const ReceiveSetup& setup_;
  BoundedWaits waits_;
  std::string content_;
  std::vector<std::string> pending_;
  std::size_t block_size_ = kSmallBlock;
  CheckMode mode_ = CheckMode::kCrc;
  std::uint8_t expected_ = 1;
  int block_counter_ = 1;
  int errors_ = 0;
  bool first_accepted_ = false;
  MonoTime progress_at_{};    // the opening, or the last accepted block
  std::string last_refusal_;  // the text of the last frame refused since the last accepted one
  TransferOutcome out_;
};

}  // namespace

ReceivedFile ReceiveFile(TransferLine& line, const ReceiveSetup& setup) {
  return Receiver(line, setup).Run();
}

}  // namespace marvolen
