// The bare writer's archives are checked with Info-ZIP's unzip, an independent reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim/RawZip.h"

namespace marvolen::office {
namespace {

namespace fs = std::filesystem;

// Runs `unzip` with `args` on `archive`; gives its exit status and its output.
std::pair<int, std::string> Unzip(const std::string& args, const std::string& archive) {
  // A name of its own: the tests of this file run side by side, in several processes.
  std::string name = (fs::temp_directory_path() / "rawzip-test-XXXXXX").string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return {-1, "mkstemp failed"};
  ::close(fd);
  const fs::path file = name;
  std::ofstream(file, std::ios::binary | std::ios::trunc) << archive;
  const std::string command = "unzip " + args + " '" + file.string() + "' 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buf[512];
  while (pipe && std::fgets(buf, sizeof buf, pipe)) output += buf;
  const int status = pipe ? ::pclose(pipe) : -1;
  fs::remove(file);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(RawZipTest, ArchivesPassUnzipAndKeepTheirNames) {
  const std::string archive =
      StoredZip({{"TRAFICO.TRF", "line 1\r\nline 2\r\n"}, {"EMPTY.DAW", ""}});
  const auto [status, output] = Unzip("-t", archive);
  EXPECT_EQ(status, 0) << output;
  const auto [list_status, listing] = Unzip("-Z1", archive);
  EXPECT_EQ(listing, "TRAFICO.TRF\nEMPTY.DAW\n");
  const auto [print_status, content] = Unzip("-p", StoredZip({{"A.TXT", "hello"}}));
  EXPECT_EQ(content, "hello");
}

TEST(RawZipTest, AnEmptyArchiveIsTheBareEndRecord) {
  const std::string empty = StoredZip({});
  EXPECT_EQ(empty, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  // unzip calls an archive without entries a warning (exit 1), not an error.
  EXPECT_EQ(Unzip("-t", empty).first, 1);
}

TEST(RawZipTest, DamagedArchivesFailUnzipsCheck) {
  const std::string good = StoredZip({{"A.TXT", "hello"}, {"B.TXT", "world"}});
  EXPECT_NE(Unzip("-t", BreakCentralDirectory(good)).first, 0);
  const auto [status, output] = Unzip("-t", BreakFirstEntryCrc(good));
  EXPECT_EQ(status, 2) << output;  // bad CRC
  EXPECT_NE(output.find("A.TXT"), std::string::npos);
  const std::string empty_entry = StoredZip({{"E.TXT", ""}});
  EXPECT_EQ(BreakFirstEntryCrc(empty_entry), empty_entry);
}

}  // namespace
}  // namespace marvolen::office
