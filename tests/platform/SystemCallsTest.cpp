#include "platform/SystemCalls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace marvolen {
namespace {

// A call that fails with each errno of `errors` in turn, then returns `result`.
struct ScriptedCall {
  std::vector<int> errors;
  int result = 0;
  int calls = 0;
  int operator()() {
    if (calls < static_cast<int>(errors.size())) {
      errno = errors[static_cast<size_t>(calls++)];
      return -1;
    }
    ++calls;
    return result;
  }
};

TEST(RetryOnEintr, RepeatsOnlyInterruptedCalls) {
  ScriptedCall interrupted{{EINTR, EINTR}, 7};
  EXPECT_EQ(RetryOnEintr([&] { return interrupted(); }), 7);
  EXPECT_EQ(interrupted.calls, 3);

  // Any other failure is the caller's, errno as the call left it.
  ScriptedCall full{{EINTR, ENOSPC}, 7};
  EXPECT_EQ(RetryOnEintr([&] { return full(); }), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(full.calls, 2);

  // The result's own type comes back (a read's ssize_t).
  const ssize_t n = RetryOnEintr([] { return static_cast<ssize_t>(5000000000LL); });
  EXPECT_EQ(n, 5000000000LL);
}

// Whether `fd` is still an open descriptor of this process.
bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesOnEveryWayOutOnce) {
  std::vector<int> closed;
  const auto recorder = [&](int fd) {
    closed.push_back(fd);
    return ::close(fd);
  };
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    UniqueFd a(raw, recorder);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), raw);
  }
  EXPECT_EQ(closed, std::vector<int>{raw});
  EXPECT_FALSE(IsOpen(raw));

  // Assigning over a held descriptor closes that one; reset does the same.
  const int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int second = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  UniqueFd held(first);
  held = UniqueFd(second);
  EXPECT_FALSE(IsOpen(first));
  EXPECT_TRUE(IsOpen(second));
  held.reset();
  EXPECT_FALSE(IsOpen(second));
  EXPECT_FALSE(held.valid());

  // A released descriptor stays open and is the caller's.
  const int kept = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(UniqueFd(kept).release(), kept);
  EXPECT_TRUE(IsOpen(kept));
  ::close(kept);
}

TEST(UniqueFd, CloseReportsTheSeamsFailureOnce) {
  int calls = 0;
  UniqueFd fd(42, [&](int) { return ++calls, errno = EIO, -1; });
  EXPECT_EQ(fd.Close(), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(fd.Close(), 0);  // nothing left to close
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace marvolen
