#include "link/TcpModem.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace marvolen {

namespace {

constexpr std::string_view kPacedOption = ",paced";
constexpr int kMaxReadsPerPump = 64;

bool AllDigits(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int ListenOn(const addrinfo& a) {
  const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
  if (fd < 0) return -1;
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
      ::bind(fd, a.ai_addr, a.ai_addrlen) == 0 && ::listen(fd, 8) == 0) {
    return fd;
  }
  const int error = errno;
  ::close(fd);
  errno = error;
  return -1;
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

OpenedDevice TcpModem::Listen(const ModemAddress& address, Clock& clock) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const char* host = address.host.empty() ? nullptr : address.host.c_str();
  if (::getaddrinfo(host, address.port.c_str(), &hints, &found) != 0) {
    return {nullptr, EADDRNOTAVAIL};
  }
  int listener = -1;
  int error = EADDRNOTAVAIL;
  for (const addrinfo* a = found; a && listener < 0; a = a->ai_next) {
    listener = ListenOn(*a);
    if (listener < 0) error = errno;
  }
  ::freeaddrinfo(found);
  if (listener < 0) return {nullptr, error};

  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  if (epoll < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event) < 0) {
    error = errno;
    if (epoll >= 0) ::close(epoll);
    ::close(listener);
    return {nullptr, error};
  }
  auto* modem = new TcpModem(clock, listener, epoll);
  modem->Modem().SetPacing(address.paced);
  return {std::unique_ptr<SerialDevice>(modem), 0};
}

TcpModem::TcpModem(Clock& clock, int listener, int epoll)
    : ModemPort(clock), listener_(listener), epoll_(epoll) {}

TcpModem::~TcpModem() {
  if (conn_ >= 0) {
    FlushCaller();
    CloseConnection();
  }
  ::close(listener_);
  ::close(epoll_);
}

std::uint16_t TcpModem::LocalPort() const {
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &size) < 0) return 0;
  if (local.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
}

void TcpModem::PumpLine() {
  epoll_event events[2];
  const int count = ::epoll_wait(epoll_, events, 2, 0);
  bool caller_news = false;
  for (int i = 0; i < count; ++i) {
    if (events[i].data.fd == listener_) {
      AcceptCallers();
    } else {
      caller_news = true;
    }
  }
  // With the station's queue full the caller's bytes are not watched; a peek still notices
  // a caller who hung up.
  const bool queue_full =
      modem_.CurrentState() == HayesModem::State::kOnline && !modem_.CanTakeFromCaller();
  if (caller_news || (conn_ >= 0 && queue_full)) ReadCaller();
  FlushLine();
}

void TcpModem::FlushLine() {
  FlushCaller();
  Watch();
}

void TcpModem::WaitLine(Millis limit) {
  Watch();
  clock_.WaitReadable(epoll_, limit);
}

void TcpModem::AcceptCallers() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    if (conn_ < 0 && modem_.IncomingCall()) {
      conn_ = fd;
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      epoll_event event{};
      event.data.fd = fd;
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
      watching_ = 0;
    } else {
      ::close(fd);  // busy, or not set to answer: the caller is refused
    }
  }
}

void TcpModem::ReadCaller() {
  char buffer[4096];
  for (int reads = 0; conn_ >= 0 && reads < kMaxReadsPerPump; ++reads) {
    const bool online = modem_.CurrentState() == HayesModem::State::kOnline;
    if (online && !modem_.CanTakeFromCaller()) {
      // The station's queue is full: leave the bytes with TCP, but notice a caller who left.
      const ssize_t n = ::recv(conn_, buffer, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        CallerGone();
      }
      return;
    }
    const ssize_t n = ::recv(conn_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      // Before the answer, and while the station talks to the modem, caller bytes are lost.
      if (online) modem_.FromCaller(std::string_view(buffer, static_cast<std::size_t>(n)));
      // A short read took all there was: epoll tells when more comes.
      if (static_cast<std::size_t>(n) < sizeof buffer) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    CallerGone();
  }
}

void TcpModem::FlushCaller() {
  while (conn_ >= 0 && !unsent_.empty()) {
    const ssize_t n = ::send(conn_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      unsent_.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    CallerGone();
  }
}

void TcpModem::Watch() {
  if (conn_ < 0) return;
  const bool online = modem_.CurrentState() == HayesModem::State::kOnline;
  std::uint32_t wanted = 0;
  if (!online || modem_.CanTakeFromCaller()) wanted |= EPOLLIN;
  if (!unsent_.empty()) wanted |= EPOLLOUT;
  if (wanted == watching_) return;
  epoll_event event{};
  event.events = wanted;
  event.data.fd = conn_;
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, conn_, &event);
  watching_ = wanted;
}

void TcpModem::SendToCaller(std::string_view bytes) {
  if (conn_ >= 0) unsent_.append(bytes);
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
  if (conn_ < 0) return;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, conn_, nullptr);
  // Unread bytes would turn the close into a reset, which can destroy what the caller has
  // not read yet; take them first so that the caller sees an orderly end of the stream.
  char buffer[4096];
  while (::recv(conn_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
  ::close(conn_);
  conn_ = -1;
  watching_ = 0;
  unsent_.clear();
}

}  // namespace marvolen
