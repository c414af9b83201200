#include "link/ModemPort.h"

#include <algorithm>
#include <cerrno>

namespace marvolen {

namespace {

// Rounded up, so that a wait never ends short of its deadline and then polls without one.
Millis Until(const Clock& clock, MonoTime deadline) {
  return std::chrono::ceil<Millis>(deadline - clock.Now());
}

}  // namespace

ModemPort::ModemPort(Clock& clock) : clock_(clock), modem_(clock, *this) {
  settings_.BaudRate = 9600;
  settings_.flags = LineSettings::kBinary;
  settings_.SetDtrControl(kControlEnable);
  settings_.SetRtsControl(kControlEnable);
  modem_.SetLineSpeed(settings_.BaudRate);
}

void ModemPort::Pump() {
  PumpLine();
  modem_.Poll();
  FlushLine();  // sends at once what the modem released
}

bool ModemPort::Nap(Millis limit, std::size_t wanted, int stop_fd) {
  if (const auto next = modem_.NextEventFor(wanted)) {
    // Round up so that the modem's event is due when the nap ends.
    const auto until = std::chrono::ceil<Millis>(*next - clock_.Now());
    limit = std::min(limit, std::max(until, Millis(0)));
  }
  return WaitLine(limit, stop_fd);
}

std::error_code ModemPort::GetState(LineSettings& settings) {
  settings = settings_;
  return {};
}

std::error_code ModemPort::SetState(const LineSettings& settings) {
  if (settings.BaudRate == 0 || settings.ByteSize < 5 || settings.ByteSize > 8)
    return ErrnoCode(EINVAL);
  settings_ = settings;
  modem_.SetLineSpeed(settings.BaudRate);
  Pump();
  if (settings.DtrControl() == kControlDisable) modem_.SetDtr(false);
  if (settings.DtrControl() == kControlEnable) modem_.SetDtr(true);
  if (settings.RtsControl() == kControlDisable) modem_.SetRts(false);
  if (settings.RtsControl() == kControlEnable) modem_.SetRts(true);
  Pump();
  return {};
}

std::error_code ModemPort::SetTimeouts(const CommTimeouts&) {
  return {};
}

std::error_code ModemPort::SetupQueues(std::uint32_t in_queue, std::uint32_t) {
  modem_.SetStationQueueLimit(in_queue);
  return {};
}

std::error_code ModemPort::SetEventMask(std::uint32_t) {
  return {};
}

std::error_code ModemPort::Purge(std::uint32_t flags) {
  Pump();
  if (flags & (kPurgeRxAbort | kPurgeRxClear)) modem_.ClearForStation();
  if (flags & (kPurgeTxAbort | kPurgeTxClear)) modem_.ClearForCaller();
  return {};
}

std::error_code ModemPort::ClearErrors(CommStatus& status) {
  Pump();
  status.cbInQue = static_cast<std::uint32_t>(modem_.ForStationWaiting());
  status.cbOutQue = modem_.ForCallerPending() || LineBacklog() ? 1 : 0;
  return {};
}

std::error_code ModemPort::GetModemStatus(std::uint32_t& bits) {
  Pump();
  bits = kMsCtsOn | kMsDsrOn | (modem_.Carrier() ? kMsRlsdOn : 0);
  return {};
}

std::error_code ModemPort::Escape(int function) {
  Pump();
  switch (function) {
    case kSetDtr:
      modem_.SetDtr(true);
      break;
    case kClrDtr:
      modem_.SetDtr(false);
      break;
    case kSetRts:
      modem_.SetRts(true);
      break;
    case kClrRts:
      modem_.SetRts(false);
      break;
    case kSetXoff:
    case kSetXon:
    case kSetBreak:
    case kClrBreak:
      break;  // no flow control and no break on this line
    default:
      return ErrnoCode(EINVAL);
  }
  Pump();
  return {};
}

std::error_code ModemPort::StartWrite(std::string_view bytes) {
  Pump();
  modem_.FromStation(bytes);
  Pump();
  return {};
}

bool ModemPort::WaitWritten(Millis limit) {
  const MonoTime deadline = clock_.Now() + limit;
  for (;;) {
    Pump();
    if (!modem_.ForCallerPending() && !LineBacklog()) return true;
    const Millis left = Until(clock_, deadline);
    if (left.count() <= 0) return false;
    Nap(left);
  }
}

ReadResult ModemPort::Read(std::size_t count, std::string& out, Millis limit) {
  const MonoTime deadline = clock_.Now() + limit;
  // The driver asks for what the queue status just counted: no need to look at the line.
  while (modem_.ForStationWaiting() < count) {
    Pump();
    if (modem_.ForStationWaiting() >= count) break;
    const Millis left = Until(clock_, deadline);
    if (left.count() <= 0) return {{}, true};
    Nap(left);
  }
  out = modem_.TakeForStation(count);
  return {};
}

bool ModemPort::WaitForInput(Millis limit, int stop_fd) {
  const MonoTime deadline = clock_.Now() + limit;
  for (;;) {
    Pump();
    if (modem_.ForStationWaiting() > 0) return true;
    const Millis left = Until(clock_, deadline);
    if (left.count() <= 0) return true;
    if (!Nap(left, 0, stop_fd)) return false;
  }
}

bool ModemPort::WaitForBytes(std::size_t count, Millis limit, int stop_fd) {
  const MonoTime deadline = clock_.Now() + limit;
  for (;;) {
    Pump();
    // Without a carrier no more bytes come; with fewer on their way than wanted, those that
    // came are handed over once the last has, as WaitForInput would have by then, so that the
    // reader's wait for the rest starts from the last byte.
    const std::size_t waiting = modem_.ForStationWaiting();
    if (waiting >= std::max<std::size_t>(count, 1) || !modem_.Carrier() ||
        (waiting > 0 && !modem_.ForStationPending())) {
      return true;
    }
    const Millis left = Until(clock_, deadline);
    if (left.count() <= 0) return true;
    if (!Nap(left, count, stop_fd)) return false;
  }
}

DeviceWake ModemPort::Wake() {
  DeviceWake wake;
  wake.fd = LineDescriptor();
  wake.fd_is_input = false;  // every call in pumps the line, taking its news
  wake.due = modem_.NextEvent();
  wake.input_waiting = modem_.ForStationWaiting() > 0;
  // The carrier comes and goes with the modem's own events and the line's news.
  wake.status_signalled = true;
  wake.carrier = modem_.Carrier();
  return wake;
}

}  // namespace marvolen
