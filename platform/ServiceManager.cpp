#include "platform/ServiceManager.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/SystemCalls.h"

namespace marvolen {

int SendDatagram(const std::string& socket, std::string_view message, WhenQueueFull full) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket.empty() || (socket[0] != '/' && socket[0] != '@') ||
      socket.size() > sizeof address.sun_path) {
    return EINVAL;
  }
  // A path needs room for its terminating zero; an abstract name does not.
  if (socket[0] == '/' && socket.size() == sizeof address.sun_path) return EINVAL;
  std::memcpy(address.sun_path, socket.data(), socket.size());
  // An abstract name starts with a zero byte where its text has '@'; it takes no terminator.
  if (socket[0] == '@') address.sun_path[0] = '\0';
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket.size() +
                                                  (socket[0] == '@' ? 0 : 1));
  const UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  const int flags = MSG_NOSIGNAL | (full == WhenQueueFull::kGiveUp ? MSG_DONTWAIT : 0);
  const ssize_t sent = RetryOnEintr([&] {
    return ::sendto(fd.get(), message.data(), message.size(), flags,
                    reinterpret_cast<const sockaddr*>(&address), length);
  });
  if (sent < 0) return errno;
  return static_cast<size_t>(sent) == message.size() ? 0 : EMSGSIZE;
}

bool QueueFull(int error) {
  return error == EAGAIN;
}

}  // namespace marvolen
