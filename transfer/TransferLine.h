// What a block transfer needs of the line it runs on. The station's serial text layer, the
// standard input and output of marvolen-xfer and the scripted peers of the tests all offer
// it, so the sender and receiver never see a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/CallProgress.h"
#include "platform/Clock.h"
#include "platform/StopRequest.h"

namespace marvolen {

class TransferLine {
 public:
  virtual ~TransferLine() = default;

  // Sends bytes as they are. A write failure is the line's own to report (in the log view);
  // the transfer only notices the answer that does not come.
  virtual void SendText(std::string_view bytes) = 0;
  // Waits up to `seconds` for received bytes and gives back what one read found (possibly
  // part of a frame, possibly more than one); empty when nothing came in time.
  virtual std::string ReceiveText(int seconds) = 0;
  // As ReceiveText, for a reader that needs `wanted` bytes before it can use any (the rest of
  // a frame): a line that can tell when that many will have come may sleep until they have,
  // instead of waking for every part of them. What came is given back all the same when the
  // time is up or the far end has gone.
  virtual std::string ReceiveAtLeast(int seconds, std::size_t /*wanted*/) {
    return ReceiveText(seconds);
  }
  // The read errors of the most recent ReceiveText; empty when it had none.
  virtual std::string ReadErrorText() const = 0;
  // True when the far end is gone (carrier detect off).
  virtual bool CarrierLost() = 0;
  // Discards the received bytes waiting (PurgeInput), or those and any unsent output (PurgeAll).
  virtual void PurgeInput() = 0;
  virtual void PurgeAll() = 0;
  // Hands back bytes a transfer has read but not used, such as the office's reply that came
  // in the same read as the final acknowledgement. The next reader of the line gets them
  // first; a purge discards them with the rest of the input.
  virtual void Unread(std::string_view bytes) = 0;
  // The clock the line's waits run on; a transfer's own pauses use it too.
  virtual Clock& LineClock() = 0;
};

// One block of a transfer as the sender or receiver saw it: its number, its data size, its
// check mode and the answer it got or gave ("ACK", "NAK", "CAN", "timeout" ...).
struct BlockNote {
  int number = 0;
  int size = 0;
  bool crc = true;
  std::string answer;
};

// Where a transfer reports to the operator: lines for the log view and texts for the panels
// of the status bar (the sender's block number goes to panel 3, the receiver's to panel 1).
// Texts are UTF-8. `block` hears of every block answered, for the call's transcript. Any of
// them may be left empty.
struct TransferSinks {
  std::function<void(std::string_view line)> log;
  std::function<void(int panel, std::string_view text)> panel;
  std::function<void(const BlockNote& block)> block;

  void Log(std::string_view line) const {
    if (log) log(line);
  }
  void Panel(int index, std::string_view text) const {
    if (panel) panel(index, text);
  }
  void Block(const BlockNote& note) const {
    if (block) block(note);
  }
};

// The caller's test of a transfer's result text: good when, in upper case, it is this.
bool TransferSucceeded(std::string_view result);

// What ends a transfer from outside its protocol. The protocol's own waits are long (8 and
// 10 s) and an office that keeps sending keeps a transfer alive for good, so the transfer
// waits a second at a time and looks at these (and at the carrier) between the seconds.
struct TransferBounds {
  StopRequest stop;  // the station is being stopped
  // The call's progress: each block acknowledged or accepted is reported to it, and the
  // transfer ends once the call has reached one of its bounds. None: no such bound.
  CallProgress* progress = nullptr;
  // A received file may hold no more bytes than this; 0: no limit. The sender ignores it.
  std::uint64_t max_bytes = 0;
};

// Why a transfer ended, beside its result text.
enum class TransferEnd {
  kDone,         // the protocol ran its course (see the result text for success)
  kFailed,       // given up by the protocol's rules, or the archive was unusable
  kCarrierLost,  // the far end hung up
  kStopped,      // the station is being stopped
  kOutOfTime,    // the call outlasted what it has moved allows
  kNoProgress,   // nothing moved for the call's idle bound
  kTooLarge,     // the received file grew past its bound
};

// How a transfer ended: the result text the operator reads and the call's record keeps, why,
// and the error behind a failure in the station's words.
struct TransferOutcome {
  std::string result;
  TransferEnd end = TransferEnd::kFailed;
  std::string detail;  // empty after a success
  // Bytes of the file the other end acknowledged (sending) or that were accepted
  // (receiving), padding included: what moved before the transfer ended.
  std::uint64_t moved = 0;
};

// The result texts of the transfers the station cuts short itself (the protocol's own stay
// as the far end knows them).
inline constexpr std::string_view kTransferStopped =
    "Transferencia cancelada: la estación se detiene";
inline constexpr std::string_view kTransferOutOfTime =
    "Transferencia cancelada: tiempo máximo de la llamada agotado";
inline constexpr std::string_view kTransferNoProgress =
    "Transferencia cancelada: la llamada no avanza";
inline constexpr std::string_view kTransferTooLarge =
    "Transferencia cancelada: archivo recibido demasiado grande";

// The transfer's waits for bytes, a second at a time, with the bounds and the carrier looked
// at before each second.
class BoundedWaits {
 public:
  BoundedWaits(TransferLine& line, const TransferBounds& bounds) : line_(line), bounds_(bounds) {}

  // What `seconds` of waiting brought, as ReceiveText(seconds) would give it (empty after
  // silence; ReadErrorText() tells of read errors); nothing when the transfer must end now,
  // why in Why(). `wanted`: bytes the reader needs before it can use any (ReceiveAtLeast).
  std::optional<std::string> Receive(int seconds, std::size_t wanted = 1);
  // True when a bound or the lost carrier ends the transfer now; why in Why().
  bool MustEnd();
  // A block of `bytes` was acknowledged or accepted: the call has moved.
  void Moved(std::uint64_t bytes);
  TransferEnd Why() const { return why_; }
  // The text that goes with Why() for the ends the station chooses itself (stop, bounds).
  static std::string_view ResultFor(TransferEnd why);

 private:
  TransferLine& line_;
  const TransferBounds& bounds_;
  TransferEnd why_ = TransferEnd::kDone;
};

}  // namespace marvolen
