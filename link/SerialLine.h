// The serial line driver and its text layer.
//
// The driver operations take a port number and hand back an error text: empty on success,
// otherwise one complete message (see SerialMessages.h); each stops at its first failure and
// none throws. The text layer works on the configured port and shows its failures in the
// operator's log view through the sink given at construction.
//
// Every wait goes through the Clock: the real clock sleeps in poll() until bytes arrive, the
// virtual clock of the tests jumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "link/PortTable.h"
#include "link/SerialDevice.h"
#include "platform/Clock.h"

namespace marvolen {

// One line for the operator's log view (UTF-8).
using LogSink = std::function<void(std::string_view line)>;
// Opens the device behind a port number (1 to 4).
using DeviceOpener = std::function<OpenedDevice(int port)>;

// The time-out of a write of `length` bytes at `speed` bit/s: twelve bit times per byte, at
// least 100 ms. An unknown speed (0) counts as the slowest the station uses, 600 bit/s.
Millis WriteTimeLimit(std::size_t length, std::uint32_t speed);

class SerialLine {
 public:
  SerialLine(Clock& clock, DeviceOpener opener, LogSink log);
  // Closes every open port.
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  PortTable& Ports() { return ports_; }
  const PortTable& Ports() const { return ports_; }

  // --- Driver operations -------------------------------------------------------------
  // Opens and configures the port: speed in bit/s, parity and stop-bits codes of the line
  // settings record (kNoParity, kOneStopBit), byte size in bits. A failure after the device
  // opened leaves it open: the caller closes the port before trying again.
  std::string OpenPort(int port, std::uint32_t speed, std::uint8_t parity, std::uint8_t byteSize,
                       std::uint8_t stopBits);
  // Always empty; a closed port is left alone.
  std::string ClosePort(int port);
  std::string PurgeInput(int port);
  std::string PurgeAll(int port);
  // Refreshes the entry's `status` (cbInQue: bytes waiting).
  std::string ClearPortErrors(int port);
  // Refreshes the entry's `modemStatus`; a closed port makes no call and reads as all off.
  std::string ReadModemStatus(int port);
  // With checkCts, refuses to write while clear-to-send is off.
  std::string WritePort(int port, std::string_view bytes, bool checkCts);
  // Reads what is waiting into the entry's `received`; never waits for bytes to come.
  std::string ReadPort(int port);
  // kSetRts, kClrRts, kSetDtr, kClrDtr (and the other line functions).
  std::string SetPortLines(int port, int code);

  // --- Text layer, on the configured port ---------------------------------------------
  void SetConfiguredPort(int port) { configured_port_ = port; }
  int ConfiguredPort() const { return configured_port_; }
  // The configured port's entry, or null when the configured number has none.
  PortEntry* ConfiguredEntry() { return ports_.Find(configured_port_); }

  // Writes with the CTS check; a failure becomes a "*ERROR WRITE: " line.
  void SendText(std::string_view bytes);
  // Waits up to `seconds` for bytes and returns the first that come (empty when none came).
  // Read errors are kept in ReadErrorText() and shown as one "*ERROR Recibiendo dato: " line;
  // the first one ends the wait. A reader that needs `wanted` bytes before it can use any
  // (the rest of a frame) lets the device sleep until they have come, where it can tell.
  std::string ReceiveText(int seconds, std::size_t wanted = 1);
  // Sends the command and CR one byte at a time, 20 ms apart, then shows the modem's answer
  // for 2 seconds, one log line per received line. What is left stays in LineBuffer().
  void SendModemCommand(std::string_view command);
  // True when carrier detect is off (or the status could not be read from a closed port).
  bool CarrierLost();
  // What to sleep on until the configured port is worth a look: its device's wake-up, with
  // the bytes handed back by Unread counted as waiting input. A closed port has nothing.
  DeviceWake Wake();
  // Hands back received bytes a reader did not use (a block transfer that read past its
  // end): the next ReadPort on the configured port delivers them before anything newer.
  // Ignored while the port is closed.
  void Unread(std::string_view bytes);

  // A descriptor that turns readable when the station is being stopped (-1: none).
  // ReceiveText sleeps on it beside the line and ends as soon as it turns readable, so that
  // a transfer waiting for the far end hears the stop at once, not at its next look.
  void SetStopWake(int fd) { stop_fd_ = fd; }

  // Received characters not yet taken as a line; shared with the line controller.
  std::string& LineBuffer() { return line_buffer_; }
  // The read errors of the most recent ReceiveText; empty when it had none.
  const std::string& ReadErrorText() const { return read_error_text_; }

  // Bytes written to and read from the devices since the driver was made (what a call moved
  // is the difference over the call). Bytes handed back by Unread are not counted again.
  std::uint64_t BytesWritten() const { return bytes_written_; }
  std::uint64_t BytesRead() const { return bytes_read_; }
  // The errno of the last OpenPort that found no device to open; no code when the last open
  // reached a device.
  std::error_code LastOpenError() const { return last_open_error_; }

 private:
  void Log(std::string_view line);
  // Sleeps until input may be waiting on `port` (`wanted` bytes of it, see ReceiveText), or
  // `limit` has passed; with `hear_stop`, also until the stop descriptor turns readable, and
  // then false.
  bool WaitForInput(int port, Millis limit, std::size_t wanted, bool hear_stop);

  Clock& clock_;
  DeviceOpener opener_;
  LogSink log_;
  PortTable ports_;
  int configured_port_ = 0;
  std::string line_buffer_;
  std::string read_error_text_;
  std::uint64_t bytes_written_ = 0;
  std::uint64_t bytes_read_ = 0;
  std::error_code last_open_error_;
  int stop_fd_ = -1;
};

}  // namespace marvolen
