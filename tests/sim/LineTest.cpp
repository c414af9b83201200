// The office's line over a real socketpair, with short waits on the real clock.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "sim/OfficeCall.h"
#include "sim/OfficeLine.h"
#include "sim/OfficeTokens.h"

namespace marvolen::office {
namespace {

struct Pair {
  Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
  int fds[2];
};

// Reads from `fd` until `want` bytes have come or the other side closes.
std::string ReadAll(int fd, std::size_t want) {
  std::string out;
  char buf[256];
  while (out.size() < want) {
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - out.size()));
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

TEST(LineTest, BytesPassBothWaysAndSilenceTimesOut) {
  Pair p;
  RealClock clock;
  SocketLine line(p.fds[0], clock);
  EXPECT_TRUE(line.Send(std::string("a\0b\r", 4)));
  EXPECT_EQ(ReadAll(p.fds[1], 4), std::string("a\0b\r", 4));
  EXPECT_EQ(line.Receive(Millis(20)), "");
  EXPECT_FALSE(line.Down());
  ASSERT_EQ(::write(p.fds[1], "xyz", 3), 3);
  EXPECT_EQ(line.Receive(Millis(1000)), "xyz");
  ASSERT_EQ(::write(p.fds[1], "stale", 5), 5);
  line.Purge();
  EXPECT_EQ(line.Receive(Millis(20)), "");
  ::close(p.fds[1]);
}

TEST(LineTest, TheFarEndHangingUpTakesTheLineDown) {
  Pair p;
  RealClock clock;
  SocketLine line(p.fds[0], clock);
  ASSERT_EQ(::write(p.fds[1], "last", 4), 4);
  ::close(p.fds[1]);
  EXPECT_EQ(line.Receive(Millis(1000)), "last");
  EXPECT_EQ(line.Receive(Millis(1000)), "");
  EXPECT_TRUE(line.Down());
  EXPECT_FALSE(line.Send("x"));  // and no SIGPIPE
}

TEST(LineTest, PushedBackBytesComeFirst) {
  Pair p;
  RealClock clock;
  SocketLine socket(p.fds[0], clock);
  PushbackLine line(socket);
  ASSERT_EQ(::write(p.fds[1], "new", 3), 3);
  line.Unread("old");
  line.Unread("older ");
  EXPECT_EQ(line.Receive(Millis(1000)), "older old");
  EXPECT_EQ(line.Receive(Millis(1000)), "new");
  ::close(p.fds[1]);
}

// A short call over the socketpair: the station thread greets, reads the identification,
// sends a message, reads echo and acknowledgement around its go token, and dismisses.
TEST(LineTest, AShortCallOverASocket) {
  Pair p;
  std::string station_heard;
  std::thread station([&] {
    const int fd = p.fds[1];
    const std::string greeting = std::string(GreetingToken) + '\r';
    const std::string message = std::string(MessageToken) + "Comunicaci\xF3n exitosa\r";
    const std::string ack = std::string(AckToken) + '\r';
    EXPECT_EQ(::write(fd, greeting.data(), greeting.size()), ssize_t(greeting.size()));
    station_heard += ReadAll(fd, 8);  // the identification
    EXPECT_EQ(::write(fd, message.data(), message.size()), ssize_t(message.size()));
    station_heard += ReadAll(fd, message.size());  // the echo
    EXPECT_EQ(::write(fd, GoToken.data(), GoToken.size()), ssize_t(GoToken.size()));
    station_heard += ReadAll(fd, ack.size());
    EXPECT_EQ(::write(fd, "Salir07120\r", 11), 11);
    ::close(fd);
  });
  RealClock clock;
  SocketLine line(p.fds[0], clock);
  class NoLink final : public OfficeLink {
    TransferResult ReceiveArchive(OfficeLine&, const std::filesystem::path&) override { return {}; }
    std::string PackArchive(const std::vector<ArchiveItem>&) override { return {}; }
    TransferResult SendArchive(OfficeLine&, std::string_view) override { return {}; }
  } no_link;
  CallSettings settings;
  settings.dir = std::filesystem::temp_directory_path();
  settings.timeout = Millis(5000);
  std::ostringstream log;
  OfficeCall call(line, no_link, clock, settings, log);
  const CallSummary s = call.Run("Ident=x\r");
  station.join();
  EXPECT_EQ(station_heard, "Ident=x\r" + std::string(MessageToken) + "Comunicaci\xF3n exitosa\r" +
                               std::string(AckToken) + "\r");
  EXPECT_EQ(s.retries, "07");
  EXPECT_EQ(s.period, "120");
  EXPECT_EQ(ExitStatus(s), 0);
}

}  // namespace
}  // namespace marvolen::office
