// A serial port with a HayesModem behind it: what the driver sees of the modem emulator.
// The telephone side is left to subclasses (TcpModem; the tests' scripted caller). All the
// modem's work happens when the driver calls in, so no thread is needed: every call first
// brings the telephone line and the modem up to date.
#pragma once

#include <cstdint>
#include <string>

#include "link/HayesModem.h"
#include "link/SerialDevice.h"
#include "platform/Clock.h"

namespace marvolen {

class ModemPort : public SerialDevice, protected TelephoneLine {
 public:
  HayesModem& Modem() { return modem_; }

  std::error_code GetState(LineSettings& settings) override;
  std::error_code SetState(const LineSettings& settings) override;
  std::error_code SetTimeouts(const CommTimeouts& timeouts) override;
  std::error_code SetupQueues(std::uint32_t in_queue, std::uint32_t out_queue) override;
  std::error_code SetEventMask(std::uint32_t mask) override;
  std::error_code Purge(std::uint32_t flags) override;
  std::error_code ClearErrors(CommStatus& status) override;
  // Clear-to-send and data-set-ready are on while the port is open; carrier detect while a
  // call is up.
  std::error_code GetModemStatus(std::uint32_t& bits) override;
  std::error_code Escape(int function) override;
  std::error_code StartWrite(std::string_view bytes) override;
  bool WaitWritten(Millis limit) override;
  ReadResult Read(std::size_t count, std::string& out, Millis limit) override;
  bool WaitForInput(Millis limit, int stop_fd) override;
  // Sleeps through the batches of a paced line until the last of `count` bytes has arrived,
  // so that a reader that needs them all wakes once for them.
  bool WaitForBytes(std::size_t count, Millis limit, int stop_fd) override;
  // The modem's own next event (paced bytes, a ring, the answer) and the bytes it holds for
  // the station; the telephone line's descriptor comes from the subclass.
  DeviceWake Wake() override;

 protected:
  explicit ModemPort(Clock& clock);

  // Takes in callers and caller bytes, sends what waits for the caller.
  virtual void PumpLine() = 0;
  // Sends what waits for the caller, and nothing else.
  virtual void FlushLine() { PumpLine(); }
  // Sleeps until the telephone line has news or `limit` has passed, or `stop_fd` (-1: none)
  // has turned readable, and then false.
  virtual bool WaitLine(Millis limit, int stop_fd) = 0;
  // Turns readable when the telephone line has news (a caller, caller bytes, room to send);
  // -1 when there is none.
  virtual int LineDescriptor() const { return -1; }
  // True while bytes handed to the telephone line have not left yet.
  virtual bool LineBacklog() const { return false; }

  void Pump();
  // Sleeps for at most `limit`, and no longer than until the modem's next own event (for a
  // station that waits for `wanted` received bytes, see HayesModem::NextEventFor); false when
  // `stop_fd` ended it.
  bool Nap(Millis limit, std::size_t wanted = 0, int stop_fd = -1);

  Clock& clock_;
  HayesModem modem_;

 private:
  LineSettings settings_;
};

}  // namespace marvolen
