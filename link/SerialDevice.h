// The device under one serial port: what the driver (SerialLine) asks of a real serial line,
// of the built-in modem emulator, or of a test's scripted line. The calls mirror the Win32
// communications calls the driver was written against, so that the driver keeps their
// order and their error handling; each backend maps them onto what it has.
//
// Every call returns no code on success, or the errno of the failure as a std::error_code
// (generic category, platform/Errors.h's ErrnoCode); none throws. The driver turns the code
// into the operator's words, the errno's number and the system's reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/Clock.h"
#include "platform/Errors.h"

namespace marvolen {

// Codes of the line settings record, as the Win32 DCB defines them.
inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kMarkParity = 3;
inline constexpr std::uint8_t kSpaceParity = 4;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOne5StopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;

// RTS and DTR control modes (two-bit fields of the flags word).
inline constexpr int kControlDisable = 0;
inline constexpr int kControlEnable = 1;
inline constexpr int kControlHandshake = 2;
inline constexpr int kRtsControlToggle = 3;

// Line functions of SetPortLines (EscapeCommFunction).
inline constexpr int kSetXoff = 1;
inline constexpr int kSetXon = 2;
inline constexpr int kSetRts = 3;
inline constexpr int kClrRts = 4;
inline constexpr int kSetDtr = 5;
inline constexpr int kClrDtr = 6;
inline constexpr int kSetBreak = 8;
inline constexpr int kClrBreak = 9;

// Purge flags.
inline constexpr std::uint32_t kPurgeTxAbort = 0x01;
inline constexpr std::uint32_t kPurgeRxAbort = 0x02;
inline constexpr std::uint32_t kPurgeTxClear = 0x04;
inline constexpr std::uint32_t kPurgeRxClear = 0x08;

// Modem status bits.
inline constexpr std::uint32_t kMsCtsOn = 0x10;
inline constexpr std::uint32_t kMsDsrOn = 0x20;
inline constexpr std::uint32_t kMsRingOn = 0x40;
inline constexpr std::uint32_t kMsRlsdOn = 0x80;

// The line settings (the DCB record). The flags word keeps the DCB's bit layout.
struct LineSettings {
  std::uint32_t BaudRate = 0;
  std::uint32_t flags = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = kNoParity;
  std::uint8_t StopBits = kOneStopBit;
  std::uint8_t XonChar = 0x11;
  std::uint8_t XoffChar = 0x13;
  std::uint8_t ErrorChar = 0;
  std::uint8_t EofChar = 0;
  std::uint8_t EvtChar = 0;

  static constexpr std::uint32_t kBinary = 1u << 0;
  static constexpr std::uint32_t kParityCheck = 1u << 1;
  static constexpr std::uint32_t kOutxCtsFlow = 1u << 2;
  static constexpr std::uint32_t kOutxDsrFlow = 1u << 3;
  static constexpr int kDtrControlShift = 4;
  static constexpr std::uint32_t kDsrSensitivity = 1u << 6;
  static constexpr std::uint32_t kTxContinueOnXoff = 1u << 7;
  static constexpr std::uint32_t kOutX = 1u << 8;
  static constexpr std::uint32_t kInX = 1u << 9;
  static constexpr std::uint32_t kErrorCharOn = 1u << 10;
  static constexpr std::uint32_t kNullStrip = 1u << 11;
  static constexpr int kRtsControlShift = 12;
  static constexpr std::uint32_t kAbortOnError = 1u << 14;

  int DtrControl() const { return static_cast<int>((flags >> kDtrControlShift) & 3u); }
  int RtsControl() const { return static_cast<int>((flags >> kRtsControlShift) & 3u); }
  void SetDtrControl(int mode) {
    flags = (flags & ~(3u << kDtrControlShift)) |
            ((static_cast<std::uint32_t>(mode) & 3u) << kDtrControlShift);
  }
  void SetRtsControl(int mode) {
    flags = (flags & ~(3u << kRtsControlShift)) |
            ((static_cast<std::uint32_t>(mode) & 3u) << kRtsControlShift);
  }
  bool Has(std::uint32_t flag) const { return (flags & flag) != 0; }
};

// The per-byte time-outs (COMMTIMEOUTS), in milliseconds.
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

// The queue status (COMSTAT): bytes received and waiting, bytes not yet sent.
struct CommStatus {
  std::uint32_t cbInQue = 0;
  std::uint32_t cbOutQue = 0;
};

// A read bounded by a time-out: `error` is the errno of a failure, or no code; `timed_out`
// when the bytes did not come in time (they stay with the device and come with the next read).
struct ReadResult {
  std::error_code error;
  bool timed_out = false;
};

// What a caller that sleeps between its looks at the device sleeps on.
struct DeviceWake {
  // Turns readable when the device has news; -1 when it has no such descriptor.
  int fd = -1;
  // Readable means received bytes wait, and it stays so until they are read (a tty). When
  // false, any call into the device takes the news (the modem emulator), so the descriptor can
  // be watched by a caller that does not mean to read.
  bool fd_is_input = true;
  // The device's own next event, which needs a call into it (the emulator's paced bytes and
  // rings); none when it has none.
  std::optional<MonoTime> due;
  // Received bytes are waiting already, where no descriptor will say so.
  bool input_waiting = false;
  // A change of carrier detect shows through `fd` or `due`; else the caller looks at the
  // modem status now and then.
  bool status_signalled = false;
  // Carrier detect as it is now, where it is signalled: a change made inside the caller's own
  // calls (a caller answered while the station sent a modem command) signals nothing later.
  bool carrier = false;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  virtual std::error_code GetState(LineSettings& settings) = 0;
  // Installs the settings; DTR and RTS control modes "disable" and "enable" drop or raise
  // the lines as they take effect.
  virtual std::error_code SetState(const LineSettings& settings) = 0;
  virtual std::error_code SetTimeouts(const CommTimeouts& timeouts) = 0;
  virtual std::error_code SetupQueues(std::uint32_t in_queue, std::uint32_t out_queue) = 0;
  virtual std::error_code SetEventMask(std::uint32_t mask) = 0;
  virtual std::error_code Purge(std::uint32_t flags) = 0;
  virtual std::error_code ClearErrors(CommStatus& status) = 0;
  virtual std::error_code GetModemStatus(std::uint32_t& bits) = 0;
  virtual std::error_code Escape(int function) = 0;

  // Hands `bytes` to the line; no code when they are on their way (some may still wait to leave).
  virtual std::error_code StartWrite(std::string_view bytes) = 0;
  // Waits at most `limit` for every byte started so far to leave; false when some have not.
  virtual bool WaitWritten(Millis limit) = 0;
  // Reads exactly `count` bytes into `out`, waiting at most `limit` for them.
  virtual ReadResult Read(std::size_t count, std::string& out, Millis limit) = 0;
  // Sleeps until received bytes may be waiting, or `limit` has passed, or `stop_fd` (-1: none)
  // has turned readable, and then false: the station is being stopped. Never spins: the real
  // backends sleep in poll().
  virtual bool WaitForInput(Millis limit, int stop_fd) = 0;
  // As WaitForInput, for a reader that needs `count` received bytes before it can use any:
  // a device that knows when they will have come may sleep until then instead of waking for
  // each part; it still ends at `limit`, at the stop, or when the line can bring no more.
  virtual bool WaitForBytes(std::size_t /*count*/, Millis limit, int stop_fd) {
    return WaitForInput(limit, stop_fd);
  }
  // What to sleep on until the next call into the device is worth making.
  virtual DeviceWake Wake() { return {}; }
};

// The outcome of opening a device: the device, or the errno of the failure (ENOENT when there
// is no such device).
struct OpenedDevice {
  std::unique_ptr<SerialDevice> device;
  std::error_code error;
};

}  // namespace marvolen
