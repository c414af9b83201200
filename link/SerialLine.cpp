#include "link/SerialLine.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "link/SerialMessages.h"
#include "platform/CodePage.h"

namespace marvolen {

namespace text = serial_text;

namespace {

constexpr Millis kMinWriteWait{100};
constexpr Millis kReadWait{100};
constexpr Millis kCommandBytePause{20};
constexpr Millis kCommandAnswerTime{2000};
constexpr std::uint32_t kSlowestSpeed = 600;
constexpr std::uint32_t kInQueueSize = 4096;
constexpr std::uint32_t kOutQueueSize = 2048;
constexpr std::uint32_t kMillisPerByte = 100;

// Rounded up: the last wait of a loop sleeps until its deadline rather than polling with no
// time-out through its final fraction of a millisecond.
Millis Remaining(const Clock& clock, MonoTime deadline) {
  return std::max(Millis(0), std::chrono::ceil<Millis>(deadline - clock.Now()));
}

// Binary mode and nothing else: no parity check, no flow control of any kind, DTR and RTS
// under the driver's control alone.
void ConfigureForModem(LineSettings& s, std::uint32_t speed, std::uint8_t parity,
                       std::uint8_t byteSize, std::uint8_t stopBits) {
  s.BaudRate = speed;
  s.Parity = parity;
  s.StopBits = stopBits;
  s.ByteSize = byteSize;
  s.XonChar = 0x11;
  s.XoffChar = 0x13;
  s.ErrorChar = 0;
  s.EvtChar = 0;
  s.XonLim = 1024;
  s.XoffLim = 1024;
  s.flags = LineSettings::kBinary;
}

}  // namespace

Millis WriteTimeLimit(std::size_t length, std::uint32_t speed) {
  const std::uint64_t bps = speed == 0 ? kSlowestSpeed : speed;
  const std::uint64_t ms = static_cast<std::uint64_t>(length) * 12000u / bps;
  return std::max(kMinWriteWait, Millis(static_cast<Millis::rep>(ms)));
}

SerialLine::SerialLine(Clock& clock, DeviceOpener opener, LogSink log)
    : clock_(clock), opener_(std::move(opener)), log_(std::move(log)) {}

SerialLine::~SerialLine() {
  for (int port = PortTable::kFirstPort; port <= PortTable::kLastPort; ++port) ClosePort(port);
}

void SerialLine::Log(std::string_view line) {
  if (log_) log_(line);
}

std::string SerialLine::OpenPort(int port, std::uint32_t speed, std::uint8_t parity,
                                 std::uint8_t byteSize, std::uint8_t stopBits) {
  PortEntry* entry = ports_.Find(port);
  if (!entry) return text::PortNotAvailable(port);
  if (entry->IsOpen()) return text::PortIsOpen(port);

  OpenedDevice opened = opener_ ? opener_(port) : OpenedDevice{nullptr, ErrnoCode(ENOENT)};
  last_open_error_ = opened.device ? std::error_code() : opened.error;
  if (!opened.device) {
    return opened.error == std::errc::no_such_file_or_directory ? text::PortNotFound(port)
                                                                : text::CannotOpenPort(port);
  }
  entry->handle = std::move(opened.device);
  SerialDevice& device = *entry->handle;

  if (std::error_code rc = device.GetState(entry->lineSettings)) {
    return text::SystemErrorForm(text::kReadStateFailed, port, rc);
  }
  ConfigureForModem(entry->lineSettings, speed, parity, byteSize, stopBits);
  if (std::error_code rc = device.SetState(entry->lineSettings)) {
    return text::SystemErrorForm(text::kWriteStateFailed, port, rc);
  }
  entry->timeouts = CommTimeouts{};
  entry->timeouts.ReadTotalTimeoutMultiplier = kMillisPerByte;
  entry->timeouts.WriteTotalTimeoutMultiplier = kMillisPerByte;
  if (std::error_code rc = device.SetTimeouts(entry->timeouts)) {
    return text::SystemErrorForm(text::kTimeoutsFailed, port, rc);
  }
  entry->inQueueSize = kInQueueSize;
  entry->outQueueSize = kOutQueueSize;
  if (std::error_code rc = device.SetupQueues(entry->inQueueSize, entry->outQueueSize)) {
    return text::SystemErrorForm(text::kQueuesFailed, port, rc);
  }
  if (std::error_code rc = device.SetEventMask(0)) {
    return text::SystemErrorForm(text::kEventMaskFailed, port, rc);
  }
  entry->ioEvent = true;
  return {};
}

std::string SerialLine::ClosePort(int port) {
  PortEntry* entry = ports_.Find(port);
  if (!entry || !entry->IsOpen()) return {};
  entry->handle.reset();
  entry->ioEvent = false;
  entry->unread.clear();
  // Nothing is waiting on a closed port and no line is up: stale snapshots would make a
  // closed port look connected.
  entry->status = CommStatus{};
  entry->modemStatus = 0;
  return {};
}

std::string SerialLine::PurgeInput(int port) {
  PortEntry* entry = ports_.Find(port);
  if (!entry) return text::PortNotAvailable(port);
  const std::error_code rc =
      entry->IsOpen() ? entry->handle->Purge(kPurgeRxAbort | kPurgeRxClear) : ErrnoCode(EBADF);
  if (!rc) entry->unread.clear();
  return rc ? text::SystemErrorForm(text::kPurgeInputFailed, port, rc) : std::string();
}

std::string SerialLine::PurgeAll(int port) {
  PortEntry* entry = ports_.Find(port);
  if (!entry) return text::PortNotAvailable(port);
  const std::uint32_t all = kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear;
  const std::error_code rc = entry->IsOpen() ? entry->handle->Purge(all) : ErrnoCode(EBADF);
  if (!rc) entry->unread.clear();
  return rc ? text::SystemErrorForm(text::kPurgeAllFailed, port, rc) : std::string();
}

std::string SerialLine::ClearPortErrors(int port) {
  PortEntry* entry = ports_.Find(port);
  if (!entry) return text::PortNotAvailable(port);
  CommStatus status;
  const std::error_code rc =
      entry->IsOpen() ? entry->handle->ClearErrors(status) : ErrnoCode(EBADF);
  if (rc) {
    // A count from an earlier call would send ReadPort after bytes that may not be there.
    entry->status.cbInQue = 0;
    return text::SystemErrorForm(text::kClearErrorsFailed, port, rc);
  }
  entry->status = status;
  entry->status.cbInQue += static_cast<std::uint32_t>(entry->unread.size());
  return {};
}

std::string SerialLine::ReadModemStatus(int port) {
  PortEntry* entry = ports_.Find(port);
  if (!entry) return text::PortNotAvailable(port);
  if (!entry->IsOpen()) {
    entry->modemStatus = 0;
    return {};
  }
  std::uint32_t bits = 0;
  if (std::error_code rc = entry->handle->GetModemStatus(bits)) {
    return text::SystemErrorForm(text::kModemStatusFailed, port, rc);
  }
  entry->modemStatus = bits;
  return {};
}

std::string SerialLine::WritePort(int port, std::string_view bytes, bool checkCts) {
  PortEntry* entry = ports_.Find(port);
  if (!entry) return text::PortNotAvailable(port);
  if (bytes.empty()) return {};
  if (checkCts && ReadModemStatus(port).empty() && !(entry->modemStatus & kMsCtsOn)) {
    return text::ShortForm(text::kCtsOff, port);
  }
  if (!entry->IsOpen()) return text::WriteFailed(ErrnoCode(EBADF));
  SerialDevice& device = *entry->handle;
  if (std::error_code rc = device.StartWrite(bytes)) return text::WriteFailed(rc);
  if (!device.WaitWritten(WriteTimeLimit(bytes.size(), entry->lineSettings.BaudRate))) {
    return text::ShortForm(text::kWriteTimedOut, port);
  }
  bytes_written_ += bytes.size();
  return {};
}

std::string SerialLine::ReadPort(int port) {
  PortEntry* entry = ports_.Find(port);
  if (!entry) return text::PortNotAvailable(port);
  const std::string clear_error = ClearPortErrors(port);
  entry->received.clear();
  if (!entry->IsOpen()) return {};
  // An open port whose queue cannot be read has failed (a device that went away): say so
  // rather than look like a silent line.
  if (!clear_error.empty()) return clear_error;
  const std::size_t count = entry->status.cbInQue;
  if (count == 0) return {};

  // Bytes handed back come first; the device supplies the rest.
  const std::size_t kept = std::min(count, entry->unread.size());
  std::string buffer;
  if (count > kept) {
    const ReadResult result = entry->handle->Read(count - kept, buffer, kReadWait);
    if (result.error) return text::SystemErrorForm(text::kReadFailed, port, result.error);
    if (result.timed_out) return text::ShortForm(text::kReadTimedOut, port);
    bytes_read_ += buffer.size();
  }
  entry->received = entry->unread.substr(0, kept) + buffer;
  entry->unread.erase(0, kept);
  return {};
}

std::string SerialLine::SetPortLines(int port, int code) {
  PortEntry* entry = ports_.Find(port);
  if (!entry) return text::PortNotAvailable(port);
  const LineSettings& s = entry->lineSettings;
  const bool rts_handshake = s.RtsControl() == kControlHandshake;
  const bool dtr_handshake = s.DtrControl() == kControlHandshake;
  if (code == kClrRts && rts_handshake) return text::ShortForm(text::kClrRtsRefused, port);
  if (code == kSetRts && rts_handshake) return text::ShortForm(text::kSetRtsRefused, port);
  if (code == kClrDtr && dtr_handshake) return text::ShortForm(text::kClrDtrRefused, port);
  if (code == kSetDtr && dtr_handshake) return text::ShortForm(text::kSetDtrRefused, port);
  if (!entry->IsOpen()) return {};
  if (std::error_code rc = entry->handle->Escape(code)) {
    return text::SystemErrorForm(text::kEscapeFailed, port, rc);
  }
  return {};
}

bool SerialLine::WaitForInput(int port, Millis limit, std::size_t wanted, bool hear_stop) {
  const int stop_fd = hear_stop ? stop_fd_ : -1;
  PortEntry* entry = ports_.Find(port);
  if (!entry || !entry->IsOpen()) {
    // Nothing can arrive on a closed port: only the stop can end the wait early.
    if (stop_fd < 0) {
      clock_.Sleep(limit);
      return true;
    }
    return !clock_.WaitReadable(stop_fd, limit);
  }
  return wanted > 1 ? entry->handle->WaitForBytes(wanted, limit, stop_fd)
                    : entry->handle->WaitForInput(limit, stop_fd);
}

void SerialLine::SendText(std::string_view bytes) {
  if (bytes.empty()) return;
  const std::string error = WritePort(configured_port_, bytes, true);
  if (!error.empty()) Log(std::string(text::kSendTextLine) + error);
}

std::string SerialLine::ReceiveText(int seconds, std::size_t wanted) {
  read_error_text_.clear();
  const MonoTime deadline = clock_.Now() + std::chrono::seconds(std::max(seconds, 0));
  PortEntry* entry = ports_.Find(configured_port_);
  while (clock_.Now() < deadline) {
    const std::string error = ReadPort(configured_port_);
    read_error_text_ += error;
    if (entry && !entry->received.empty()) break;
    // A failed read fails again at once: report it once instead of once per poll.
    if (!error.empty()) break;
    if (!WaitForInput(configured_port_, Remaining(clock_, deadline), wanted, true)) break;
  }
  if (!read_error_text_.empty()) Log(std::string(text::kReceiveTextLine) + read_error_text_);
  return entry ? entry->received : std::string();
}

void SerialLine::SendModemCommand(std::string_view command) {
  std::string line(command);
  line += '\r';
  for (char byte : line) {
    clock_.Sleep(kCommandBytePause);
    WritePort(configured_port_, std::string_view(&byte, 1), true);  // errors are not shown
  }

  line_buffer_.clear();
  const MonoTime deadline = clock_.Now() + kCommandAnswerTime;
  PortEntry* entry = ports_.Find(configured_port_);
  while (clock_.Now() < deadline) {
    ReadPort(configured_port_);
    if (entry) line_buffer_ += entry->received;
    const std::size_t end = line_buffer_.find_first_of("\r\n");
    if (end != std::string::npos) {
      if (end > 0) Log(AnsiToUtf8(std::string_view(line_buffer_).substr(0, end)));
      line_buffer_.erase(0, end + 1);
      continue;  // one line end per poll; poll again before sleeping
    }
    // The modem's answers are shown whole even on the way out (the stop is not heard here).
    WaitForInput(configured_port_, Remaining(clock_, deadline), 1, false);
  }
}

DeviceWake SerialLine::Wake() {
  PortEntry* entry = ports_.Find(configured_port_);
  if (!entry || !entry->IsOpen()) return {};
  DeviceWake wake = entry->handle->Wake();
  if (!entry->unread.empty()) wake.input_waiting = true;
  return wake;
}

void SerialLine::Unread(std::string_view bytes) {
  PortEntry* entry = ports_.Find(configured_port_);
  if (entry && entry->IsOpen()) entry->unread.insert(0, bytes);
}

bool SerialLine::CarrierLost() {
  const std::string error = ReadModemStatus(configured_port_);
  if (!error.empty()) Log(std::string(text::kCarrierLine) + error);
  const PortEntry* entry = ports_.Find(configured_port_);
  return !entry || !(entry->modemStatus & kMsRlsdOn);
}

}  // namespace marvolen
