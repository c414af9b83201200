// Our sender and receiver against lrzsz (sx, rx), an independent implementation of the
// protocol family, over a socket pair in real time. Files are small and local: each case
// takes a few milliseconds, or about a second when rx holds back its ACK to EOT.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "transfer/TransferArchive.h"
#include "transfer/TransferFdLine.h"
#include "transfer/TransferReceiver.h"
#include "transfer/TransferSender.h"
#include "tests/ScratchDir.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs of text and of noise: deflate has something to shrink and something it cannot.
std::string MixedBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i / 64) % 2 ? gen() : 'a' + i % 26);
  return s;
}

// A peer program in `cwd` on the far end of a socket pair, in its own process group (sx
// forks); its standard error goes to peer.log there.
class PeerProcess {
 public:
  PeerProcess(std::vector<const char*> argv, const fs::path& cwd) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    argv.push_back(nullptr);
    if ((pid_ = ::fork()) == 0) {
      ::setpgid(0, 0);
      if (::chdir(cwd.c_str()) != 0) ::_exit(126);
      ::dup2(fds[1], 0), ::dup2(fds[1], 1), ::dup2(::open("peer.log", O_WRONLY | O_CREAT, 0644), 2);
      ::execvp(argv[0], const_cast<char* const*>(argv.data()));
      ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~PeerProcess() {
    Kill();
    ::close(fd_);
  }
  int fd() const { return fd_; }
  void Kill() {
    if (pid_ > 0) ::kill(-pid_, SIGKILL), Wait();
  }
  // The exit status; 128 + the signal when one ended it.
  int Wait() {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

// Lets a test act on what the line receives: spoil a byte, hang up after so many.
class TappedLine final : public TransferLine {
 public:
  using Tap = std::function<void(std::string& got, std::size_t seen_before)>;
  TappedLine(TransferLine& inner, Tap tap) : inner_(inner), tap_(std::move(tap)) {}
  std::string ReceiveText(int seconds) override {
    std::string got = inner_.ReceiveText(seconds);
    tap_(got, seen_);
    seen_ += got.size();
    return got;
  }
  void SendText(std::string_view b) override { inner_.SendText(b); }
  std::string ReadErrorText() const override { return inner_.ReadErrorText(); }
  bool CarrierLost() override { return inner_.CarrierLost(); }
  void PurgeInput() override { inner_.PurgeInput(); }
  void PurgeAll() override { inner_.PurgeAll(); }
  void Unread(std::string_view b) override { inner_.Unread(b); }
  Clock& LineClock() override { return inner_.LineClock(); }

 private:
  TransferLine& inner_;
  Tap tap_;
  std::size_t seen_ = 0;
};

class Lrzsz : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system(
            "(command -v sx && command -v rx && command -v zip && command -v socat) >/dev/null") !=
        0)
      GTEST_SKIP() << "lrzsz or zip missing";
    ::signal(SIGPIPE, SIG_IGN);
    root_ = scratch::NewScratchDir("peer");
    fs::create_directories(src_ = root_ / "src");
    fs::create_directories(dst_ = root_ / "dst");
    setup_.dir = dst_;
    setup_.archive = ZipArchiveHooks([this](std::string_view l) { log_.emplace_back(l); });
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }
  // "orig.zip" in the source directory, made by Info-ZIP, holding one member of `size` bytes.
  std::string MakeArchive(std::size_t size, const std::string& member) {
    std::ofstream(src_ / member, std::ios::binary) << MixedBytes(size, static_cast<unsigned>(size));
    fs::remove(src_ / "orig.zip");
    EXPECT_EQ(std::system(("cd " + src_.string() + " && zip -q -X orig.zip " + member).c_str()), 0);
    return ReadFile(src_ / "orig.zip");
  }

  fs::path root_, src_, dst_;
  ReceiveSetup setup_;
  std::vector<std::string> log_;
  RealClock clock_;
};

class SxToOurReceiver : public Lrzsz, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SxToOurReceiver, ExtractsWhatWasSent) {
  const std::string archive = MakeArchive(GetParam(), "datos.bin");
  PeerProcess sx({"sx", "-k", "-X", "orig.zip"}, src_);
  FdTransferLine line(sx.fd(), sx.fd(), clock_);
  const ReceivedFile got = ReceiveFile(line, setup_);
  EXPECT_EQ(got.result, "Transferencia OK");
  EXPECT_EQ(got.content, archive);
  EXPECT_EQ(ReadFile(dst_ / "recibo.zip"), archive);
  EXPECT_EQ(ReadFile(dst_ / "datos.bin"), ReadFile(src_ / "datos.bin"));
  EXPECT_EQ(sx.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SxToOurReceiver,
                         ::testing::Values(0, 1, 127, 128, 895, 896, 1024, 3000, 300 * 1024));

// Comments that end like padding, or that hold something like an end record, must not
// fool the trimming: sx pads with SUB, our own sender (the tool, as a peer) with NUL.
TEST_F(Lrzsz, TrimmingFindsTheRealEndBehindAwkwardComments) {
  const std::vector<std::pair<std::string, std::vector<const char*>>> rows = {
      {std::string("hola\x1A\x1A", 6), {"sx", "-k", "-X", "orig.zip"}},
      {std::string("hola\0\0", 6), {MARVOLEN_XFER, "send", "orig.zip"}},
      {std::string("PK\x05\x06") + std::string(16, '\0') + "\x10\x00 then text",
       {"sx", "-k", "-X", "orig.zip"}},
  };
  for (const auto& [comment, argv] : rows) {
    SCOPED_TRACE(argv[0]);
    std::string archive = MakeArchive(700, "datos.bin");
    archive[archive.size() - 2] = static_cast<char>(comment.size());
    archive += comment;
    std::ofstream(src_ / "orig.zip", std::ios::binary) << archive;
    PeerProcess peer(argv, src_);
    FdTransferLine line(peer.fd(), peer.fd(), clock_);
    const ReceivedFile got = ReceiveFile(line, setup_);
    EXPECT_EQ(got.result, "Transferencia OK");
    EXPECT_EQ(got.content, archive);
    EXPECT_EQ(ReadFile(dst_ / "datos.bin"), ReadFile(src_ / "datos.bin"));
    EXPECT_EQ(peer.Wait(), 0);
  }
}

// A sender that stops half-way with EOT leaves a cut archive: refused, nothing unpacked.
TEST_F(Lrzsz, HalfAnArchiveIsNeverTakenForOne) {
  const std::string archive = MakeArchive(30000, "datos.bin");
  fs::resize_file(src_ / "orig.zip", archive.size() / 2);
  PeerProcess sx({"sx", "-k", "-X", "orig.zip"}, src_);
  FdTransferLine line(sx.fd(), sx.fd(), clock_);
  EXPECT_EQ(ReceiveFile(line, setup_).result, "No se pudo abrir archivo");
  EXPECT_FALSE(fs::exists(dst_ / "datos.bin"));
}

// marvolen-xfer as its users run it: line bytes on standard input and output, the result
// on standard error, exit status 0 on success.
TEST_F(Lrzsz, ToolRunsAgainstLrzszThroughSocat) {
  const std::string archive = MakeArchive(20000, "datos.bin");
  const std::string xfer = MARVOLEN_XFER;
  const std::string cd = "cd " + dst_.string() + " && ";
  EXPECT_EQ(std::system(
                (cd + "socat EXEC:'sx -k -X ../src/orig.zip' EXEC:'" + xfer + " receive' 2>err.txt")
                    .c_str()),
            0);
  EXPECT_EQ(ReadFile(dst_ / "datos.bin"), ReadFile(src_ / "datos.bin"));
  EXPECT_NE(ReadFile(dst_ / "err.txt").find("Transferencia OK\n"), std::string::npos);
  EXPECT_EQ(std::system((cd + "socat EXEC:'" + xfer +
                         " send ../src/orig.zip' EXEC:'rx -c -X out.zip' 2>err.txt")
                            .c_str()),
            0);
  EXPECT_EQ(ReadFile(dst_ / "out.zip").substr(0, archive.size()), archive);
  EXPECT_NE(ReadFile(dst_ / "err.txt").find("Transferencia Ok\n"), std::string::npos);
  EXPECT_EQ(std::system((cd + xfer + " send /nonexistent </dev/null >/dev/null 2>&1").c_str()) >> 8,
            2);
}

class OurSenderToRx : public Lrzsz, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(OurSenderToRx, DeliversTheFileWithNulPadding) {
  const std::string content = MixedBytes(GetParam(), 99);
  PeerProcess rx({"rx", "-c", "-X", "out.bin"}, dst_);
  FdTransferLine line(rx.fd(), rx.fd(), clock_);
  EXPECT_EQ(SendFile(line, content).result, "Transferencia Ok");
  EXPECT_EQ(rx.Wait(), 0);
  const std::string out = ReadFile(dst_ / "out.bin");
  // 1024-byte blocks while 896 or more bytes remain, then 128-byte blocks.
  std::size_t padded = 0;
  for (std::size_t block = 1024; padded == 0 || padded < content.size(); padded += block) {
    if (content.size() - padded < 896) block = 128;
  }
  EXPECT_EQ(out.size(), padded);
  EXPECT_EQ(out.substr(0, content.size()), content);
  EXPECT_EQ(out.find_first_not_of('\0', content.size()), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OurSenderToRx,
                         ::testing::Values(0, 1, 127, 128, 895, 896, 1024, 3000, 300 * 1024));

TEST_F(Lrzsz, ArchiveSentToRxPassesUnzipOnceThePaddingIsCut) {
  const std::string archive = MakeArchive(5000, "tabla.tbl");
  PeerProcess rx({"rx", "-c", "-X", "out.zip"}, dst_);
  FdTransferLine line(rx.fd(), rx.fd(), clock_);
  EXPECT_EQ(SendFile(line, archive).result, "Transferencia Ok");
  EXPECT_EQ(rx.Wait(), 0);
  const std::string out = ReadFile(dst_ / "out.zip");
  ASSERT_GT(out.size(), archive.size());
  EXPECT_EQ(out.find_first_not_of('\0', archive.size()), std::string::npos);
  fs::resize_file(dst_ / "out.zip", archive.size());
  EXPECT_EQ(ReadFile(dst_ / "out.zip"), archive);
  EXPECT_EQ(std::system(("unzip -tqq " + (dst_ / "out.zip").string()).c_str()), 0);
}

TEST_F(Lrzsz, NoiseOnTheLineIsRepairedByResending) {
  const std::string archive = MakeArchive(4000, "datos.bin");
  PeerProcess sx({"sx", "-k", "-X", "orig.zip"}, src_);
  FdTransferLine fd_line(sx.fd(), sx.fd(), clock_);
  int spoiled = 0;
  TappedLine line(fd_line, [&](std::string& got, std::size_t before) {
    constexpr std::size_t kAt = 1500;  // inside the second frame
    if (kAt >= before && kAt < before + got.size()) got[kAt - before] ^= 0x40, ++spoiled;
  });
  const ReceivedFile got = ReceiveFile(line, setup_);
  EXPECT_EQ(spoiled, 1);
  EXPECT_EQ(got.result, "Transferencia OK");
  EXPECT_EQ(got.content, archive);
}

TEST_F(Lrzsz, PeerThatHangsUpMidTransferLeavesNothingBehind) {
  MakeArchive(200 * 1024, "datos.bin");
  PeerProcess sx({"sx", "-k", "-X", "orig.zip"}, src_);
  FdTransferLine fd_line(sx.fd(), sx.fd(), clock_);
  TappedLine line(fd_line, [&](std::string&, std::size_t before) {
    if (before > 50 * 1024) sx.Kill();
  });
  const ReceivedFile got = ReceiveFile(line, setup_);
  EXPECT_EQ(got.result, "Transferecia Abortada por Usuario");
  EXPECT_TRUE(got.content.empty());
  EXPECT_FALSE(fs::exists(dst_ / "recibo.zip"));
  EXPECT_FALSE(fs::exists(dst_ / "datos.bin"));
}

}  // namespace
}  // namespace marvolen
