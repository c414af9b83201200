#include "sim/OfficeLine.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/SystemCalls.h"

namespace marvolen::office {

SocketLine::SocketLine(int fd, Clock& clock) : fd_(fd), clock_(clock) {}

SocketLine::~SocketLine() = default;

bool SocketLine::Send(std::string_view bytes) {
  if (Down()) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    // MSG_NOSIGNAL: a station that has hung up must not kill the office with SIGPIPE.
    const ssize_t n = RetryOnEintr(
        [&] { return ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL); });
    if (n <= 0) {
      peer_gone_ = true;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string SocketLine::ReadWaiting() {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n =
        RetryOnEintr([&] { return ::recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT); });
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof buf) return out;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return out;
    peer_gone_ = true;  // end of stream or a broken connection
    return out;
  }
}

std::string SocketLine::Receive(Millis timeout) {
  if (Down()) return {};
  const MonoTime deadline = clock_.Now() + timeout;
  for (;;) {
    std::string got = ReadWaiting();
    if (!got.empty() || Down()) return got;
    const long long left = ElapsedMs(clock_.Now(), deadline);
    if (left <= 0) return {};
    clock_.WaitReadable(fd_.get(), Millis(left));
  }
}

void SocketLine::HangUp() {
  fd_.reset();
}

void SocketLine::Purge() {
  if (!Down()) ReadWaiting();
}

std::string PushbackLine::Receive(Millis timeout) {
  if (!pending_.empty()) return std::exchange(pending_, std::string());
  return inner_.Receive(timeout);
}

void PushbackLine::Purge() {
  pending_.clear();
  inner_.Purge();
}

int DialTcp(const std::string& host, const std::string& port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    error = "cannot resolve " + host + ":" + port + ": " + ::gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  error = "cannot connect to " + host + ":" + port;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      error = "cannot connect to " + host + ":" + port + ": " + std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  return fd;
}

}  // namespace marvolen::office
