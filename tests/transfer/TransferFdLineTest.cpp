#include "transfer/TransferFdLine.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace marvolen {
namespace {

// The real clock, counting the waits that block (a look with no time does not) and the
// sleeps: how often the reader was woken.
class CountingClock final : public Clock {
 public:
  MonoTime Now() const override { return real_.Now(); }
  WallTime WallNow() const override { return real_.WallNow(); }
  void Sleep(Millis d) override {
    ++sleeps;
    real_.Sleep(d);
  }
  bool WaitReadable(int fd, Millis d) override {
    if (d.count() > 0) ++waits;
    return real_.WaitReadable(fd, d);
  }
  int WaitAnyReadable(std::span<const int> fds, Millis d) override {
    return real_.WaitAnyReadable(fds, d);
  }

  int sleeps = 0;
  int waits = 0;

 private:
  RealClock real_;
};

constexpr std::size_t kFrame = 1029;

std::string Frame(char fill) {
  return std::string(kFrame, fill);
}

// The far end of a socket pair, writing `bytes` in parts of `part` bytes `gap` apart.
void WritePaced(int fd, const std::string& bytes, std::size_t part, Millis gap) {
  for (std::size_t at = 0; at < bytes.size(); at += part) {
    const std::string_view piece = std::string_view(bytes).substr(at, part);
    ASSERT_EQ(::write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    std::this_thread::sleep_for(gap);
  }
}

// A connected pair of sockets: [0] the line's end, [1] the far end.
struct SocketPair {
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
  ~SocketPair() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  int fds[2] = {-1, -1};
};

class FdLine : public ::testing::Test {
 protected:
  SocketPair pair_;
  int* fds_ = pair_.fds;
  CountingClock clock_;
  FdTransferLine line_{fds_[0], fds_[0], clock_};
};

// Once the line has shown its pace (its first part or two), the rest of a frame is slept
// for, not woken for part by part (26 parts a frame here), and comes whole all the same.
TEST_F(FdLine, APacedFrameIsCollectedInAFewWakes) {
  std::thread far([&] {
    WritePaced(fds_[1], Frame('a'), 40, Millis(5));
    WritePaced(fds_[1], Frame('b'), 40, Millis(5));
  });
  EXPECT_EQ(line_.ReceiveAtLeast(2, kFrame), Frame('a'));
  EXPECT_EQ(line_.ReceiveAtLeast(2, kFrame), Frame('b'));
  far.join();
  EXPECT_LE(clock_.waits + clock_.sleeps, 20)
      << clock_.waits << " waits, " << clock_.sleeps << " sleeps";
}

// A line that has become faster is not slept for: what is there is taken at once.
TEST_F(FdLine, AFrameAlreadyHereIsTakenWithoutSleeping) {
  std::thread far([&] { WritePaced(fds_[1], Frame('a'), 40, Millis(5)); });
  EXPECT_EQ(line_.ReceiveAtLeast(2, kFrame), Frame('a'));
  far.join();
  const int sleeps = clock_.sleeps;
  ASSERT_EQ(::write(fds_[1], Frame('b').data(), kFrame), static_cast<ssize_t>(kFrame));
  EXPECT_EQ(line_.ReceiveAtLeast(2, kFrame), Frame('b'));
  EXPECT_EQ(clock_.sleeps, sleeps);
}

// The far end closing in the middle of a frame: what came is handed over, and the next read
// tells the line is closed.
TEST_F(FdLine, APartOfAFrameBeforeTheCloseIsHandedOverThenTheCloseReported) {
  ASSERT_EQ(::write(fds_[1], "abc", 3), 3);
  ::close(fds_[1]);
  fds_[1] = -1;
  EXPECT_EQ(line_.ReceiveAtLeast(2, kFrame), "abc");
  EXPECT_TRUE(line_.ReadErrorText().empty());
  EXPECT_EQ(line_.ReceiveAtLeast(2, kFrame), "");
  EXPECT_EQ(line_.ReadErrorText(), "ERROR, LINEA CERRADA. ");
}

}  // namespace
}  // namespace marvolen
