#include "platform/FileNames.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "tests/ScratchDir.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;

class FileNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch::NewScratchDir("names");
    fs::create_directories(dir_ / "Trafico");
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Touch(const fs::path& p) { std::ofstream(p) << "x"; }
  fs::path dir_;
};

TEST_F(FileNamesTest, FindsANameThatDiffersOnlyInCase) {
  Touch(dir_ / "Recibo.ZIP");
  EXPECT_EQ(FindNoCase(dir_, "recibo.zip"), dir_ / "Recibo.ZIP");
  EXPECT_EQ(FindNoCase(dir_, "RECIBO.zip"), dir_ / "Recibo.ZIP");
  EXPECT_FALSE(FindNoCase(dir_, "recibo.zi").has_value());
  EXPECT_FALSE(FindNoCase(dir_ / "nodir", "x").has_value());
}

TEST_F(FileNamesTest, ExactNameWinsOverOtherCaseVariants) {
  Touch(dir_ / "a.txt");
  Touch(dir_ / "A.TXT");
  EXPECT_EQ(FindNoCase(dir_, "A.TXT"), dir_ / "A.TXT");
  EXPECT_EQ(FindNoCase(dir_, "a.txt"), dir_ / "a.txt");
  // Neither matches exactly: the first in name order is taken, every time.
  EXPECT_EQ(FindNoCase(dir_, "A.txt"), dir_ / "A.TXT");
}

TEST_F(FileNamesTest, AccentedLettersFoldToo) {
  Touch(dir_ / "AÑO.TXT");
  EXPECT_EQ(FindNoCase(dir_, "año.txt"), dir_ / "AÑO.TXT");
  EXPECT_EQ(FoldCase("ÀÉÎÕÜ×"), "àéîõü×");
}

TEST_F(FileNamesTest, ResolveKeepsMissingTail) {
  Touch(dir_ / "Trafico" / "TRAFICO.TRF");
  EXPECT_EQ(ResolveNoCase(dir_ / "TRAFICO" / "trafico.trf"), dir_ / "Trafico" / "TRAFICO.TRF");
  EXPECT_EQ(ResolveNoCase(dir_ / "trafico" / "new" / "File.x"),
            dir_ / "Trafico" / "new" / "File.x");
}

}  // namespace
}  // namespace marvolen
