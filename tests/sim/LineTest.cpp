// The office's line over a real socketpair, with short waits on the real clock.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "sim/OfficeCall.h"
#include "sim/OfficeTokens.h"
#include "tests/ScratchDir.h"

namespace marvolen::office {
namespace {

// Reads from `fd` until `want` bytes have come or the other side closes.
std::string ReadAll(int fd, std::size_t want) {
  std::string out(want, '\0');
  std::size_t got = 0;
  for (ssize_t n; got < want && (n = ::read(fd, out.data() + got, want - got)) > 0;) got += n;
  return out.substr(0, got);
}

TEST(LineTest, BytesPassBothWaysUntilTheFarEndHangsUp) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  RealClock clock;
  SocketLine socket(fds[0], clock);
  PushbackLine line(socket);
  EXPECT_TRUE(line.Send(std::string("a\0b\r", 4)));
  EXPECT_EQ(ReadAll(fds[1], 4), std::string("a\0b\r", 4));
  EXPECT_EQ(line.Receive(Millis(20)), "");  // silence times out
  ASSERT_EQ(::write(fds[1], "new", 3), 3);
  line.Unread("old ");
  EXPECT_EQ(line.Receive(Millis(1000)), "old ");
  EXPECT_EQ(line.Receive(Millis(1000)), "new");
  ::close(fds[1]);
  EXPECT_EQ(line.Receive(Millis(1000)), "");
  EXPECT_TRUE(line.Down());
  EXPECT_FALSE(line.Send("x"));  // and no SIGPIPE
}

// The station thread greets, reads the identification, sends a message, answers the echo
// with the go token, reads the acknowledgement and dismisses the office.
TEST(LineTest, AShortCallOverASocket) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const std::string message = std::string(MessageToken) + "Comunicaci\xF3n exitosa\r";
  std::string heard;
  std::thread station([&] {
    for (const std::string& say : {std::string(GreetingToken) + '\r', message, std::string(GoToken),
                                   std::string("Salir07120\r")}) {
      EXPECT_EQ(::write(fds[1], say.data(), say.size()), ssize_t(say.size()));
      if (say == message) heard += ReadAll(fds[1], message.size());  // the echo
      if (say == GoToken) heard += ReadAll(fds[1], AckToken.size() + 1);
      if (say[0] == GreetingToken[0]) heard += ReadAll(fds[1], 8);  // "Ident=x\r"
    }
    ::close(fds[1]);
  });
  class NoLink final : public OfficeLink {
    TransferResult ReceiveArchive(OfficeLine&, const std::filesystem::path&) override { return {}; }
    std::string PackArchive(const std::vector<ArchiveItem>&) override { return {}; }
    TransferResult SendArchive(OfficeLine&, std::string_view) override { return {}; }
  } no_link;
  RealClock clock;
  SocketLine line(fds[0], clock);
  std::ostringstream log;
  const scratch::ScratchDir dir("office-line");
  OfficeCall call(line, no_link, clock, {dir.path(), Millis(5000), {}, {}}, log);
  const CallSummary s = call.Run("Ident=x\r");
  station.join();
  EXPECT_EQ(heard, "Ident=x\r" + message + std::string(AckToken) + "\r");
  EXPECT_EQ(s.retries, "07");
  EXPECT_EQ(s.period, "120");
  EXPECT_EQ(ExitStatus(s), 0);
}

}  // namespace
}  // namespace marvolen::office
