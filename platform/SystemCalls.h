// The one way this program calls the system: a call that a signal interrupted before it did
// anything is made again, and a file descriptor is closed on every way out of the code that
// opened it.
#pragma once

#include <cerrno>
#include <functional>

namespace marvolen {

// Makes `call` again for as long as it fails with EINTR and returns its last result, errno
// set as that call left it. For calls that report failure with a negative result (open,
// read, write, poll, fcntl ...), never for close, which must not be repeated. A call whose
// arguments depend on time (a poll's time-out) computes them inside `call`.
template <typename Call>
auto RetryOnEintr(Call&& call) {
  for (;;) {
    auto rc = call();
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

// Owns one file descriptor (or none, -1) and closes it when it goes. The descriptor is closed
// through `close`, the seam it was opened through, so that tests see (and may fail) every
// call; without one it is the system's close.
class UniqueFd {
 public:
  using Closer = std::function<int(int fd)>;

  UniqueFd() = default;
  explicit UniqueFd(int fd, Closer close = nullptr) noexcept;
  // Closes the descriptor; a failure is not reported (use Close where it matters).
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and returns what close returned (0 when there was nothing to close), for the
  // paths where closing can still report a lost write.
  int Close();
  // Closes what it holds and takes `fd` instead.
  void reset(int fd = -1);
  // Gives the descriptor up without closing it.
  int release();

 private:
  int fd_ = -1;
  Closer close_;
};

}  // namespace marvolen
