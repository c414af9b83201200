#include "link/TermiosDevice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/FileOps.h"
#include "platform/SystemCalls.h"

namespace marvolen {

namespace {

constexpr std::size_t kMaxUnsent = 64 * 1024;

struct SpeedRow {
  std::uint32_t baud;
  speed_t code;
};

constexpr SpeedRow kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// What the tty layer offers none of: DSR flow control and sensitivity, DTR handshake, RTS
// toggle, NUL stripping, and a text mode.
bool Expressible(const LineSettings& s) {
  if (!s.Has(LineSettings::kBinary)) return false;
  if (s.Has(LineSettings::kOutxDsrFlow) || s.Has(LineSettings::kDsrSensitivity)) return false;
  if (s.Has(LineSettings::kNullStrip)) return false;
  if (s.DtrControl() == kControlHandshake || s.DtrControl() == 3) return false;
  return s.RtsControl() != kRtsControlToggle;
}

std::error_code ApplyFraming(const LineSettings& s, termios& t) {
  switch (s.ByteSize) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    case 8:
      t.c_cflag |= CS8;
      break;
    default:
      return ErrnoCode(EINVAL);
  }
  switch (s.Parity) {
    case kNoParity:
      break;
    case kOddParity:
      t.c_cflag |= PARENB | PARODD;
      break;
    case kEvenParity:
      t.c_cflag |= PARENB;
      break;
    case kMarkParity:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case kSpaceParity:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      return ErrnoCode(EINVAL);
  }
  switch (s.StopBits) {
    case kOneStopBit:
      break;
    case kOne5StopBits:  // the tty layer makes one and a half of two stop bits at 5 bits
      if (s.ByteSize != 5) return ErrnoCode(EINVAL);
      t.c_cflag |= CSTOPB;
      break;
    case kTwoStopBits:
      t.c_cflag |= CSTOPB;
      break;
    default:
      return ErrnoCode(EINVAL);
  }
  return {};
}

}  // namespace

speed_t SpeedCode(std::uint32_t baud) {
  for (const SpeedRow& row : kSpeeds) {
    if (row.baud == baud) return row.code;
  }
  return B0;
}

std::uint32_t SpeedValue(speed_t code) {
  for (const SpeedRow& row : kSpeeds) {
    if (row.code == code) return row.baud;
  }
  return 0;
}

std::error_code ApplyLineSettings(const LineSettings& s, termios& t) {
  const speed_t speed = SpeedCode(s.BaudRate);
  if (speed == B0 || !Expressible(s)) return ErrnoCode(EINVAL);

  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IGNPAR | IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL | HUPCL;
  if (std::error_code rc = ApplyFraming(s, t)) return rc;

  if (s.Has(LineSettings::kParityCheck)) t.c_iflag |= INPCK;
  if (s.Has(LineSettings::kOutxCtsFlow) || s.RtsControl() == kControlHandshake) {
    t.c_cflag |= CRTSCTS;
  }
  if (s.Has(LineSettings::kOutX)) t.c_iflag |= IXON;
  if (s.Has(LineSettings::kInX)) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return {};
}

void ReadLineSettings(const termios& t, LineSettings& s) {
  s.BaudRate = SpeedValue(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      s.ByteSize = 5;
      break;
    case CS6:
      s.ByteSize = 6;
      break;
    case CS7:
      s.ByteSize = 7;
      break;
    default:
      s.ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB)) {
    s.Parity = kNoParity;
  } else if (t.c_cflag & CMSPAR) {
    s.Parity = (t.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
  } else {
    s.Parity = (t.c_cflag & PARODD) ? kOddParity : kEvenParity;
  }
  if (!(t.c_cflag & CSTOPB)) {
    s.StopBits = kOneStopBit;
  } else {
    s.StopBits = s.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
  }

  const std::uint32_t from_termios = LineSettings::kParityCheck | LineSettings::kOutxCtsFlow |
                                     LineSettings::kOutX | LineSettings::kInX;
  s.flags = (s.flags & ~from_termios) | LineSettings::kBinary;
  if (t.c_iflag & INPCK) s.flags |= LineSettings::kParityCheck;
  if (t.c_iflag & IXON) s.flags |= LineSettings::kOutX;
  if (t.c_iflag & IXOFF) s.flags |= LineSettings::kInX;
  if (t.c_cflag & CRTSCTS) {
    s.flags |= LineSettings::kOutxCtsFlow;
    s.SetRtsControl(kControlHandshake);
  } else if (s.RtsControl() == kControlHandshake) {
    s.SetRtsControl(kControlEnable);
  }
  s.XonChar = t.c_cc[VSTART];
  s.XoffChar = t.c_cc[VSTOP];
}

OpenedDevice TermiosDevice::Open(const std::string& path, Clock& clock, const FileOps& calls) {
  UniqueFd fd = OpenFd(calls, path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (!fd.valid()) return {nullptr, LastErrno()};
  // TIOCEXCL keeps out other openers except the superuser; the lock keeps out everyone
  // that opens the port through this driver.
  std::error_code error;
  if (calls.ioctl(fd.get(), TIOCEXCL, nullptr) < 0 && errno != ENOTTY) {
    error = LastErrno();
  } else if (calls.flock(fd.get(), LOCK_EX | LOCK_NB) < 0) {
    error = ErrnoCode(errno == EWOULDBLOCK ? EBUSY : errno);
  }
  if (error) return {nullptr, error};
  return {std::unique_ptr<SerialDevice>(new TermiosDevice(std::move(fd), clock, calls)), {}};
}

TermiosDevice::TermiosDevice(UniqueFd fd, Clock& clock, const FileOps& calls)
    : fd_(std::move(fd)), clock_(clock), sys_(calls) {
  // The kernel raises both lines when a tty is opened.
  kept_.flags = LineSettings::kBinary;
  kept_.SetDtrControl(kControlEnable);
  kept_.SetRtsControl(kControlEnable);
}

TermiosDevice::~TermiosDevice() {
  ModemLines(TIOCMBIC, TIOCM_DTR | TIOCM_RTS);  // hangs up the modem, as the close does
  if (have_original_) sys_.tcsetattr(fd_.get(), TCSANOW, &original_);
}

std::error_code TermiosDevice::ModemLines(unsigned long request, int lines) {
  return sys_.ioctl(fd_.get(), request, &lines) < 0 ? LastErrno() : std::error_code();
}

Millis TermiosDevice::LineTime(std::size_t bytes) const {
  const std::uint64_t bps = baud_ ? baud_ : 600;
  return Millis(static_cast<Millis::rep>(bytes * 10000u / bps));
}

std::error_code TermiosDevice::GetState(LineSettings& settings) {
  termios t{};
  if (sys_.tcgetattr(fd_.get(), &t) < 0) return LastErrno();
  if (!have_original_) {
    original_ = t;
    have_original_ = true;
  }
  settings = kept_;
  ReadLineSettings(t, settings);
  return {};
}

std::error_code TermiosDevice::SetState(const LineSettings& settings) {
  termios t{};
  if (sys_.tcgetattr(fd_.get(), &t) < 0) return LastErrno();
  if (std::error_code rc = ApplyLineSettings(settings, t)) return rc;
  if (sys_.tcsetattr(fd_.get(), TCSANOW, &t) < 0) return LastErrno();
  kept_ = settings;
  baud_ = settings.BaudRate;
  // The control modes "disable" and "enable" set the lines. A device without modem lines
  // (a pseudo-terminal) refuses the request; that is no failure of the settings.
  for (auto [mode, line] :
       {std::pair{settings.DtrControl(), TIOCM_DTR}, std::pair{settings.RtsControl(), TIOCM_RTS}}) {
    if (mode != kControlDisable && mode != kControlEnable) continue;
    const std::error_code rc = ModemLines(mode == kControlEnable ? TIOCMBIS : TIOCMBIC, line);
    if (rc && rc != std::errc::inappropriate_io_control_operation &&
        rc != std::errc::invalid_argument) {
      return rc;
    }
  }
  return {};
}

// The tty layer has no per-byte time-outs and sizes its queues itself; the driver keeps
// the values in its port record.
std::error_code TermiosDevice::SetTimeouts(const CommTimeouts&) {
  return {};
}
std::error_code TermiosDevice::SetupQueues(std::uint32_t, std::uint32_t) {
  return {};
}
std::error_code TermiosDevice::SetEventMask(std::uint32_t) {
  return {};
}

std::error_code TermiosDevice::Purge(std::uint32_t flags) {
  if (flags & (kPurgeTxAbort | kPurgeTxClear)) unsent_.clear();
  if (flags & (kPurgeRxAbort | kPurgeRxClear)) held_.clear();
  const bool input = flags & kPurgeRxClear;
  const bool output = flags & kPurgeTxClear;
  if (!input && !output) return {};
  const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  return sys_.tcflush(fd_.get(), queue) < 0 ? LastErrno() : std::error_code();
}

bool TermiosDevice::HungUp() {
  pollfd p{fd_.get(), POLLIN, 0};
  if (sys_.poll(&p, 1, 0) <= 0) return false;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLIN);
}

std::error_code TermiosDevice::ClearErrors(CommStatus& status) {
  int waiting = 0;
  if (sys_.ioctl(fd_.get(), FIONREAD, &waiting) < 0) return LastErrno();
  if (waiting == 0 && held_.empty() && HungUp()) return ErrnoCode(EIO);
  int outgoing = 0;
  if (sys_.ioctl(fd_.get(), TIOCOUTQ, &outgoing) < 0) outgoing = 0;
  status.cbInQue = static_cast<std::uint32_t>(held_.size()) + static_cast<std::uint32_t>(waiting);
  status.cbOutQue =
      static_cast<std::uint32_t>(unsent_.size()) + static_cast<std::uint32_t>(outgoing);
  return {};
}

std::error_code TermiosDevice::GetModemStatus(std::uint32_t& bits) {
  int lines = 0;
  if (sys_.ioctl(fd_.get(), TIOCMGET, &lines) < 0) return LastErrno();
  bits = 0;
  if (lines & TIOCM_CTS) bits |= kMsCtsOn;
  if (lines & TIOCM_DSR) bits |= kMsDsrOn;
  if (lines & TIOCM_RNG) bits |= kMsRingOn;
  if (lines & TIOCM_CAR) bits |= kMsRlsdOn;
  return {};
}

std::error_code TermiosDevice::Escape(int function) {
  switch (function) {
    case kSetRts:
      return ModemLines(TIOCMBIS, TIOCM_RTS);
    case kClrRts:
      return ModemLines(TIOCMBIC, TIOCM_RTS);
    case kSetDtr:
      return ModemLines(TIOCMBIS, TIOCM_DTR);
    case kClrDtr:
      return ModemLines(TIOCMBIC, TIOCM_DTR);
    case kSetXoff:
      return sys_.tcflow(fd_.get(), TCOOFF) < 0 ? LastErrno() : std::error_code();
    case kSetXon:
      return sys_.tcflow(fd_.get(), TCOON) < 0 ? LastErrno() : std::error_code();
    case kSetBreak:
      return sys_.ioctl(fd_.get(), TIOCSBRK, nullptr) < 0 ? LastErrno() : std::error_code();
    case kClrBreak:
      return sys_.ioctl(fd_.get(), TIOCCBRK, nullptr) < 0 ? LastErrno() : std::error_code();
    default:
      return ErrnoCode(EINVAL);
  }
}

std::error_code TermiosDevice::Flush() {
  while (!unsent_.empty()) {
    const ssize_t n = sys_.write(fd_.get(), unsent_.data(), unsent_.size());
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? std::error_code() : LastErrno();
    if (n == 0) return {};
    unsent_.erase(0, static_cast<std::size_t>(n));
  }
  return {};
}

std::error_code TermiosDevice::StartWrite(std::string_view bytes) {
  if (unsent_.size() + bytes.size() > kMaxUnsent) return ErrnoCode(ENOBUFS);
  const std::size_t before = unsent_.size();
  unsent_.append(bytes);
  if (std::error_code rc = Flush()) {
    // A failed write puts none of its bytes on the line.
    unsent_.resize(std::min(before, unsent_.size()));
    return rc;
  }
  return {};
}

bool TermiosDevice::WaitWritten(Millis limit) {
  const MonoTime deadline = clock_.Now() + limit;
  for (;;) {
    if (Flush()) return false;
    int outgoing = 0;
    if (unsent_.empty() && (sys_.ioctl(fd_.get(), TIOCOUTQ, &outgoing) < 0 || outgoing <= 0)) {
      return true;
    }
    const Millis left = std::chrono::duration_cast<Millis>(deadline - clock_.Now());
    if (left.count() <= 0) return false;
    // Sleep about as long as the bytes still queued need on the line.
    const Millis need = LineTime(unsent_.size() + static_cast<std::size_t>(std::max(outgoing, 0)));
    clock_.Sleep(std::clamp(need, Millis(1), left));
  }
}

ReadResult TermiosDevice::Read(std::size_t count, std::string& out, Millis limit) {
  const MonoTime deadline = clock_.Now() + limit;
  char buffer[4096];
  while (held_.size() < count) {
    const std::size_t want = std::min(count - held_.size(), sizeof buffer);
    const ssize_t n = sys_.read(fd_.get(), buffer, want);
    if (n > 0) {
      held_.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return {ErrnoCode(EIO), false};  // end of file on a tty: it has been hung up
    if (errno != EAGAIN && errno != EWOULDBLOCK) return {LastErrno(), false};
    const Millis left = std::chrono::duration_cast<Millis>(deadline - clock_.Now());
    if (left.count() <= 0) return {{}, true};
    clock_.WaitReadable(fd_.get(), left);
  }
  out.assign(held_, 0, count);
  held_.erase(0, count);
  return {};
}

bool TermiosDevice::WaitForInput(Millis limit, int stop_fd) {
  if (!held_.empty()) return true;
  // A hung-up device polls as readable for ever; sleeping keeps callers from spinning
  // until their next call reports the failure.
  const int fds[] = {HungUp() ? -1 : fd_.get(), stop_fd};
  if (fds[0] < 0 && stop_fd < 0) {
    clock_.Sleep(limit);
    return true;
  }
  return clock_.WaitAnyReadable(fds, limit) != 1;
}

DeviceWake TermiosDevice::Wake() {
  DeviceWake wake;
  wake.input_waiting = !held_.empty();
  if (!HungUp()) wake.fd = fd_.get();
  return wake;
}

}  // namespace marvolen
