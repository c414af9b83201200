#include "platform/SystemCalls.h"

#include <unistd.h>

#include <utility>

namespace marvolen {

UniqueFd::UniqueFd(int fd, Closer close) noexcept : fd_(fd), close_(std::move(close)) {}

UniqueFd::~UniqueFd() {
  Close();
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), close_(std::move(other.close_)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    close_ = std::move(other.close_);
  }
  return *this;
}

int UniqueFd::Close() {
  const int fd = std::exchange(fd_, -1);
  if (fd < 0) return 0;
  return close_ ? close_(fd) : ::close(fd);
}

void UniqueFd::reset(int fd) {
  Close();
  fd_ = fd;
}

int UniqueFd::release() {
  return std::exchange(fd_, -1);
}

}  // namespace marvolen
