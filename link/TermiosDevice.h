// The serial backend for real devices (and pseudo-terminals): termios, opened for exclusive
// use, raw bytes, non-blocking, every wait through the Clock.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

#include "link/SerialDevice.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/SystemCalls.h"

namespace marvolen {

// Sets `t` up for `s`: raw bytes, receiver on, the tty layer ignoring the modem lines (the
// driver watches carrier itself), DTR dropped on the last close. No code, or EINVAL for a
// setting termios cannot express (DSR flow control, DTR handshake, an unknown speed...).
std::error_code ApplyLineSettings(const LineSettings& s, termios& t);
// Overwrites in `s` what `t` holds; the fields termios has no room for keep their values.
void ReadLineSettings(const termios& t, LineSettings& s);
// The termios speed code of `baud`, or B0 when termios has none.
speed_t SpeedCode(std::uint32_t baud);
// The bit rate of a termios speed code, or 0.
std::uint32_t SpeedValue(speed_t code);

class TermiosDevice final : public SerialDevice {
 public:
  // Opens `path` (O_NOCTTY, non-blocking) and locks it for this process alone: TIOCEXCL
  // and an exclusive flock, so a second opener gets EBUSY.
  static OpenedDevice Open(const std::string& path, Clock& clock,
                           const FileOps& calls = SystemFileOps());
  // Drops DTR and RTS, puts back the settings found at open and closes.
  ~TermiosDevice() override;

  std::error_code GetState(LineSettings& settings) override;
  std::error_code SetState(const LineSettings& settings) override;
  std::error_code SetTimeouts(const CommTimeouts& timeouts) override;
  std::error_code SetupQueues(std::uint32_t in_queue, std::uint32_t out_queue) override;
  std::error_code SetEventMask(std::uint32_t mask) override;
  std::error_code Purge(std::uint32_t flags) override;
  std::error_code ClearErrors(CommStatus& status) override;
  std::error_code GetModemStatus(std::uint32_t& bits) override;
  std::error_code Escape(int function) override;
  std::error_code StartWrite(std::string_view bytes) override;
  bool WaitWritten(Millis limit) override;
  ReadResult Read(std::size_t count, std::string& out, Millis limit) override;
  bool WaitForInput(Millis limit, int stop_fd) override;
  // The descriptor while the device answers; a hung-up one polls readable for ever, so it is
  // left out then and the caller finds the failure at its next look at the status.
  DeviceWake Wake() override;

  int Descriptor() const { return fd_.get(); }

 private:
  TermiosDevice(UniqueFd fd, Clock& clock, const FileOps& calls);
  // Hands as much of unsent_ to the kernel as it takes; no code, or the errno of the write.
  std::error_code Flush();
  bool HungUp();
  std::error_code ModemLines(unsigned long request, int lines);
  Millis LineTime(std::size_t bytes) const;

  // Closed through the seam it was opened through.
  UniqueFd fd_;
  Clock& clock_;
  const FileOps& sys_;
  bool have_original_ = false;
  termios original_{};
  // What termios cannot hold: the limits, the spare characters, the DTR and RTS modes.
  LineSettings kept_;
  std::uint32_t baud_ = 0;
  // Bytes of started writes that the kernel has not taken yet.
  std::string unsent_;
  // Bytes read for a read that ran out of time; the next read hands them over first.
  std::string held_;
};

}  // namespace marvolen
