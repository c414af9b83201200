#include "link/PosixCalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace marvolen {

int PosixCalls::Open(const char* path, int flags) {
  return ::open(path, flags);
}
int PosixCalls::Close(int fd) {
  return ::close(fd);
}
ssize_t PosixCalls::Read(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, size);
}
ssize_t PosixCalls::Write(int fd, const void* buffer, std::size_t size) {
  return ::write(fd, buffer, size);
}
int PosixCalls::Ioctl(int fd, unsigned long request, void* argument) {
  return ::ioctl(fd, request, argument);
}
int PosixCalls::Flock(int fd, int operation) {
  return ::flock(fd, operation);
}
int PosixCalls::TcGetAttr(int fd, termios* settings) {
  return ::tcgetattr(fd, settings);
}
int PosixCalls::TcSetAttr(int fd, int when, const termios* settings) {
  return ::tcsetattr(fd, when, settings);
}
int PosixCalls::TcFlush(int fd, int queue) {
  return ::tcflush(fd, queue);
}
int PosixCalls::TcFlow(int fd, int action) {
  return ::tcflow(fd, action);
}
int PosixCalls::Poll(pollfd* fds, nfds_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}

PosixCalls& PosixCalls::System() {
  static PosixCalls calls;
  return calls;
}

}  // namespace marvolen
