#include "link/TcpModem.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace marvolen {

namespace {

constexpr std::string_view kPacedOption = ",paced";
constexpr int kMaxReadsPerPump = 64;
// The calls a tick makes into the port come microseconds apart and share one look at the
// sockets; a call a millisecond or more after the last look (after a pause, a file written)
// looks again.
constexpr Millis kLookAgain{1};

bool AllDigits(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A listening socket, or none with errno set.
UniqueFd ListenOn(const addrinfo& a) {
  UniqueFd fd(::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol));
  if (!fd.valid()) return fd;
  const int on = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
      ::bind(fd.get(), a.ai_addr, a.ai_addrlen) == 0 && ::listen(fd.get(), 8) == 0) {
    return fd;
  }
  const int error = errno;
  fd.reset();
  errno = error;
  return fd;
}

}  // namespace

std::optional<ModemAddress> ParseModemAddress(std::string_view name) {
  if (name.substr(0, kModemPrefix.size()) != kModemPrefix) return std::nullopt;
  std::string_view rest = name.substr(kModemPrefix.size());
  ModemAddress address;
  if (rest.size() > kPacedOption.size() &&
      rest.substr(rest.size() - kPacedOption.size()) == kPacedOption) {
    address.paced = true;
    rest.remove_suffix(kPacedOption.size());
  }
  std::size_t colon;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return std::nullopt;
    }
    address.host = std::string(rest.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    address.host = std::string(rest.substr(0, colon));
    if (address.host.find_first_of(":,") != std::string::npos) return std::nullopt;
  }
  const std::string_view port = rest.substr(colon + 1);
  if (!AllDigits(port) || std::stoul(std::string(port)) > 65535) return std::nullopt;
  address.port = std::string(port);
  return address;
}

OpenedDevice TcpModem::Listen(const ModemAddress& address, Clock& clock,
                              std::shared_ptr<ModemPark> park) {
  ModemPark::Line line;
  if (park) {
    const auto found =
        park->lines_.find(address.host + " " + std::to_string(std::stoul(address.port)));
    if (found != park->lines_.end()) line = std::move(found->second);
    // The port has moved to another address, or was closed for good: what rang on the old
    // one is let go.
    park->lines_.clear();
  }
  UniqueFd listener = line.listener.valid() ? std::move(line.listener) : Bind(address);
  if (!listener.valid()) return {nullptr, LastErrno()};

  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener.get();
  if (!epoll.valid() || ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listener.get(), &event) < 0) {
    return {nullptr, LastErrno()};
  }
  auto* modem = new TcpModem(clock, std::move(listener), std::move(epoll));
  std::unique_ptr<SerialDevice> device(modem);
  modem->park_ = std::move(park);
  modem->host_ = address.host;
  modem->Modem().SetPacing(address.paced);
  if (line.caller.valid()) modem->TakeCaller(std::move(line.caller), line.ringing_since);
  return {std::move(device), {}};
}

UniqueFd TcpModem::Bind(const ModemAddress& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const char* host = address.host.empty() ? nullptr : address.host.c_str();
  if (::getaddrinfo(host, address.port.c_str(), &hints, &found) != 0) {
    errno = EADDRNOTAVAIL;
    return UniqueFd();
  }
  UniqueFd listener;
  int error = EADDRNOTAVAIL;
  for (const addrinfo* a = found; a && !listener.valid(); a = a->ai_next) {
    listener = ListenOn(*a);
    if (!listener.valid()) error = errno;
  }
  ::freeaddrinfo(found);
  if (!listener.valid()) errno = error;
  return listener;
}

TcpModem::TcpModem(Clock& clock, UniqueFd listener, UniqueFd epoll)
    : ModemPort(clock), listener_(std::move(listener)), epoll_(std::move(epoll)) {}

TcpModem::~TcpModem() {
  const std::optional<MonoTime> ringing = modem_.RingingSince();
  if (conn_.valid() && !(ringing && park_)) {
    FlushCaller();
    CloseConnection();
  }
  if (!park_) return;
  // The modem is not off hook for a ringing caller: closing the port does not end the call.
  ModemPark::Line line;
  const std::string key = ParkKey();
  line.listener = std::move(listener_);
  if (conn_.valid()) {
    line.caller = std::move(conn_);
    line.ringing_since = *ringing;
  }
  park_->lines_[key] = std::move(line);
}

std::string TcpModem::ParkKey() const {
  return host_ + " " + std::to_string(LocalPort());
}

std::uint16_t TcpModem::LocalPort() const {
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&local), &size) < 0) return 0;
  if (local.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
}

bool TcpModem::LookDue() const {
  return look_due_ || clock_.Now() - looked_at_ >= kLookAgain;
}

void TcpModem::PumpLine() {
  if (LookDue()) {
    epoll_event events[2];
    const int count = ::epoll_wait(epoll_.get(), events, 2, 0);
    ++socket_looks_;
    look_due_ = false;
    looked_at_ = clock_.Now();
    bool caller_news = false;
    bool new_callers = false;
    for (int i = 0; i < count; ++i) {
      if (events[i].data.fd == listener_.get()) {
        new_callers = true;
      } else if (events[i].events & ~static_cast<std::uint32_t>(EPOLLOUT)) {
        // Room to send alone is the flush's business.
        caller_news = true;
      }
    }
    // A caller who has just hung up leaves the line free for one who has just dialled.
    if (caller_news) ReadCaller();
    if (new_callers) AcceptCallers();
  }
  FlushLine();
}

void TcpModem::FlushLine() {
  FlushCaller();
  Watch();
}

DeviceWake TcpModem::Wake() {
  Watch();
  look_due_ = true;
  return ModemPort::Wake();
}

bool TcpModem::WaitLine(Millis limit, int stop_fd) {
  Watch();
  const int fds[] = {epoll_.get(), stop_fd};
  const bool stopped = clock_.WaitAnyReadable(fds, limit) == 1;
  look_due_ = true;
  return !stopped;
}

void TcpModem::AcceptCallers() {
  for (;;) {
    UniqueFd caller(RetryOnEintr([&] {
      return ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    }));
    if (!caller.valid()) {
      if (errno == ECONNABORTED) continue;
      return;
    }
    TakeCaller(std::move(caller), clock_.Now());
  }
}

void TcpModem::TakeCaller(UniqueFd caller, MonoTime since) {
  // Busy: the caller is refused, the descriptor closed as it goes.
  if (conn_.valid() || modem_.CurrentState() != HayesModem::State::kIdle) return;
  conn_ = std::move(caller);
  const int on = 1;
  ::setsockopt(conn_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  epoll_event event{};
  event.data.fd = conn_.get();
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, conn_.get(), &event);
  watching_ = 0;
  // It rings, answered or not; one that rang too long while the port was closed is let go.
  modem_.IncomingCall(since);
}

void TcpModem::ReadCaller() {
  char buffer[4096];
  for (int reads = 0; conn_.valid() && reads < kMaxReadsPerPump; ++reads) {
    const bool online = modem_.CurrentState() == HayesModem::State::kOnline;
    if (online && !modem_.CanTakeFromCaller()) {
      // Bytes were just taken: the caller is still there.
      if (reads > 0) return;
      // The station's queue is full and only the end of the caller's stream is watched:
      // leave the bytes with TCP, but notice a caller who left.
      const ssize_t n =
          RetryOnEintr([&] { return ::recv(conn_.get(), buffer, 1, MSG_PEEK | MSG_DONTWAIT); });
      ++socket_looks_;
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        CallerGone();
      } else {
        end_behind_bytes_ = true;
      }
      return;
    }
    const ssize_t n =
        RetryOnEintr([&] { return ::recv(conn_.get(), buffer, sizeof buffer, MSG_DONTWAIT); });
    ++socket_looks_;
    if (n > 0) {
      // Before the answer, and while the station talks to the modem, caller bytes are lost.
      if (online) modem_.FromCaller(std::string_view(buffer, static_cast<std::size_t>(n)));
      // A short read took all there was: epoll tells when more comes.
      if (static_cast<std::size_t>(n) < sizeof buffer) return;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    CallerGone();
  }
}

void TcpModem::FlushCaller() {
  while (conn_.valid() && !unsent_.empty()) {
    const ssize_t n = RetryOnEintr([&] {
      return ::send(conn_.get(), unsent_.data(), unsent_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    if (n > 0) {
      unsent_.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    CallerGone();
  }
}

void TcpModem::Watch() {
  if (!conn_.valid()) return;
  const bool online = modem_.CurrentState() == HayesModem::State::kOnline;
  std::uint32_t wanted = 0;
  if (!online || modem_.CanTakeFromCaller()) {
    wanted |= EPOLLIN;
    end_behind_bytes_ = false;
  } else if (!end_behind_bytes_) {
    wanted |= EPOLLRDHUP;
  }
  if (!unsent_.empty()) wanted |= EPOLLOUT;
  if (wanted == watching_) return;
  // The queue has room again: bytes may wait in TCP that no look has been told of.
  if ((wanted & EPOLLIN) && !(watching_ & EPOLLIN)) look_due_ = true;
  epoll_event event{};
  event.events = wanted;
  event.data.fd = conn_.get();
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, conn_.get(), &event);
  watching_ = wanted;
}

void TcpModem::SendToCaller(std::string_view bytes) {
  if (conn_.valid()) unsent_.append(bytes);
}

void TcpModem::CallerGone() {
  CloseConnection();
  modem_.CallerHungUp();
}

void TcpModem::HangUp() {
  FlushCaller();
  CloseConnection();
}

void TcpModem::CloseConnection() {
  if (!conn_.valid()) return;
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, conn_.get(), nullptr);
  // Unread bytes would turn the close into a reset, which can destroy what the caller has
  // not read yet; take them first so that the caller sees an orderly end of the stream.
  char buffer[4096];
  while (::recv(conn_.get(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
  conn_.reset();
  watching_ = 0;
  end_behind_bytes_ = false;
  unsent_.clear();
}

}  // namespace marvolen
