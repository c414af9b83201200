// The office's transfers against the station's own sender and receiver, over a socketpair:
// archives made by one side's ZIP component arrive whole on the other.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "sim/BlockLink.h"
#include "tests/ScratchDir.h"
#include "transfer/TransferFdLine.h"
#include "transfer/TransferReceiver.h"
#include "transfer/TransferSender.h"
#include "zip/ZipArchiver.h"

namespace marvolen::office {
namespace {

namespace fs = std::filesystem;

class BlockLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch::NewScratchDir("blocklink");
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
  }
  void TearDown() override {
    ::close(fds_[0]);
    ::close(fds_[1]);
    fs::remove_all(root_);
  }
  void Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Content that deflate cannot shrink much, so the archive spans several blocks.
  static std::string Noise(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return out;
  }

  fs::path root_;
  int fds_[2];
  RealClock clock_;
  std::ostringstream log_;
};

TEST_F(BlockLinkTest, TheStationReceivesWhatTheOfficePacksAndSends) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{700}, std::size_t{5000}}) {
    SCOPED_TRACE(size);
    const fs::path office = root_ / ("office" + std::to_string(size));
    const fs::path station = root_ / ("station" + std::to_string(size));
    fs::create_directories(station);
    Write(office / "TRAFICO" / "TRAFICO.TRF", Noise(size, 7));
    Write(office / "06122026.daw", "day file");
    SocketLine line(::dup(fds_[0]), clock_);
    BlockLink link(clock_, log_);
    const std::string archive =
        link.PackArchive({{"TRAFICO.TRF", office / "TRAFICO" / "TRAFICO.TRF"},
                          {"06122026.daw", office / "06122026.daw"}});

    ReceivedFile got;
    std::thread receiver([&] {
      FdTransferLine station_line(fds_[1], fds_[1], clock_);
      ReceiveSetup setup;
      setup.dir = station;
      setup.archive.archive_length = ArchiveLengthWithin;
      setup.archive.extract = [](const fs::path& a, const fs::path& dir, const EntryFilter&) {
        TZipArchiver z;
        z.SetFileName(a.string());
        z.OpenZip(kOpenRead);
        z.SetBaseDir(dir.string());
        z.ExtractMatching("*.*");
        z.CloseZip();
      };
      got = ReceiveFile(station_line, setup);
    });
    const TransferResult sent = link.SendArchive(line, archive);
    receiver.join();
    EXPECT_TRUE(sent.ok) << sent.text;
    EXPECT_EQ(got.result, "Transferencia OK");
    EXPECT_EQ(got.content, archive);  // every padding byte trimmed off
    EXPECT_EQ(Read(station / "TRAFICO.TRF"), Noise(size, 7));
    EXPECT_EQ(Read(station / "06122026.daw"), "day file");
  }
}

TEST_F(BlockLinkTest, TheOfficeReceivesAndUnpacksWhatTheStationSends) {
  const fs::path home = root_ / "home";
  Write(home / "tablas" / "TARIFA01.TBL", Noise(3000, 3));
  Write(home / "upgrade" / "PROGRAMA.UPG", "program");
  {
    TZipArchiver z;
    z.SetFileName((home / "envio.zip").string());
    z.OpenZip(kOpenCreate);
    z.SetBaseDir(home.string());
    z.AddMatching((home / "tablas" / "*.*").string());
    z.AddMatching((home / "upgrade" / "*.*").string());
    z.CloseZip();
  }
  const std::string envio = Read(home / "envio.zip");
  std::string result;
  std::thread sender([&] {
    FdTransferLine station_line(fds_[1], fds_[1], clock_);
    result = SendFile(station_line, envio).result;
  });
  const fs::path staging = root_ / "office" / ".staging";
  fs::create_directories(staging);
  SocketLine line(::dup(fds_[0]), clock_);
  BlockLink link(clock_, log_);
  const TransferResult r = link.ReceiveArchive(line, staging);
  sender.join();
  EXPECT_EQ(result, "Transferencia Ok");
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(Read(staging / "tablas" / "TARIFA01.TBL"), Noise(3000, 3));
  EXPECT_EQ(Read(staging / "upgrade" / "PROGRAMA.UPG"), "program");
  // "recibo.zip" stays out of the unpacked files.
  EXPECT_FALSE(fs::exists(staging / "recibo.zip"));
}

}  // namespace
}  // namespace marvolen::office
