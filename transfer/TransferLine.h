// What a block transfer needs of the line it runs on. The station's serial text layer, the
// standard input and output of marvolen-xfer and the scripted peers of the tests all offer
// it, so the sender and receiver never see a device.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

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

}  // namespace marvolen
