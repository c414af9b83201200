#include "link/TransferArchive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tests/ScratchDir.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TransferArchive, AnOfficeArchiveNeverReplacesTheParameterFile) {
  const fs::path root = scratch::NewScratchDir("xarch");
  fs::create_directories(root / "src" / "sub");
  fs::create_directories(root / "office");
  std::ofstream(root / "src" / "marvolen.tcp") << "forged parameters";
  std::ofstream(root / "src" / "sub" / "Marvolen.Tcp") << "forged too";
  std::ofstream(root / "src" / "TRAFICO.TRF") << "traffic";
  ASSERT_EQ(std::system(("cd " + (root / "src").string() +
                         " && zip -q -X ../in.zip marvolen.tcp sub/Marvolen.Tcp TRAFICO.TRF")
                            .c_str()),
            0);
  std::ofstream(root / "office" / "MARVOLEN.TCP") << "real parameters";

  std::vector<std::string> log;
  const ArchiveHooks hooks = ZipArchiveHooks([&](std::string_view l) { log.emplace_back(l); });
  hooks.extract(root / "in.zip", root / "office");

  EXPECT_EQ(Slurp(root / "office" / "MARVOLEN.TCP"), "real parameters");
  EXPECT_FALSE(fs::exists(root / "office" / "marvolen.tcp"));
  EXPECT_FALSE(fs::exists(root / "office" / "sub" / "Marvolen.Tcp"));
  EXPECT_EQ(Slurp(root / "office" / "TRAFICO.TRF"), "traffic");
  ASSERT_EQ(log.size(), 2u);
  for (const std::string& line : log) EXPECT_EQ(line.rfind("ERROR de descompresión:", 0), 0u);
  fs::remove_all(root);
}

}  // namespace
}  // namespace marvolen
