// The system calls of the serial backend, behind one seam so that tests can make any of them
// fail (EIO from a vanished device, EINTR, a modem-status call a pseudo-terminal refuses).
// Each behaves like the call it is named after: -1 with errno set on failure.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>

namespace marvolen {

class PosixCalls {
 public:
  virtual ~PosixCalls() = default;

  virtual int Open(const char* path, int flags);
  virtual int Close(int fd);
  virtual ssize_t Read(int fd, void* buffer, std::size_t size);
  virtual ssize_t Write(int fd, const void* buffer, std::size_t size);
  // ioctl requests taking a pointer argument (or none: pass nullptr).
  virtual int Ioctl(int fd, unsigned long request, void* argument);
  virtual int Flock(int fd, int operation);
  virtual int TcGetAttr(int fd, termios* settings);
  virtual int TcSetAttr(int fd, int when, const termios* settings);
  virtual int TcFlush(int fd, int queue);
  virtual int TcFlow(int fd, int action);
  virtual int Poll(pollfd* fds, nfds_t count, int timeout_ms);

  // The real calls.
  static PosixCalls& System();
};

}  // namespace marvolen
