#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/OfficeFiles.h"
#include "tests/ScratchDir.h"

namespace marvolen::office {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch::NewScratchDir("files");
    dir_ = root_ / "office";
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(root_); }
  void Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path root_, dir_;
};

TEST_F(FilesTest, LinePathsMapOntoTheOfficeFolderIgnoringCase) {
  Write(dir_ / "tarifa.tbl", "t");
  Write(dir_ / "Trafico" / "trafico.TRF", "x");
  EXPECT_EQ(ResolveLinePath(dir_, "tablas\\TARIFA.TBL"), dir_ / "tarifa.tbl");
  EXPECT_EQ(ResolveLinePath(dir_, "TABLAS\\TARIFA.TBL"), dir_ / "tarifa.tbl");
  EXPECT_EQ(ResolveLinePath(dir_, "TRAFICO\\TRAFICO.TRF"), dir_ / "Trafico" / "trafico.TRF");
  EXPECT_EQ(ResolveLinePath(dir_, "upgrade\\NEW.UPG"), dir_ / "upgrade" / "NEW.UPG");
  EXPECT_EQ(ResolveLinePath(dir_, "06122026.daw"), dir_ / "06122026.daw");
  // A folder named "tablas" alone is not a table: it stays what it says.
  EXPECT_EQ(ResolveLinePath(dir_, "tablas"), dir_ / "tablas");
}

TEST_F(FilesTest, PathsLeavingTheOfficeFolderAreRefused) {
  fs::create_directories(root_ / "outside");
  fs::create_symlink(root_ / "outside", dir_ / "door");
  for (const char* path :
       {"..\\secret.txt", "tablas\\..\\..\\secret.txt", "a\\..\\..\\x", "\\etc\\passwd",
        "/etc/passwd", "C:\\x.txt", "c:x.txt", "", "\\", ".\\.", "door\\x.txt", ".."}) {
    EXPECT_FALSE(ResolveLinePath(dir_, path)) << path;
  }
}

TEST_F(FilesTest, DeletionOutcomes) {
  Write(dir_ / "OLD.TBL", "old");
  Write(root_ / "secret.txt", "keep");
  fs::create_directories(dir_ / "TRAFICO");
  fs::create_symlink(root_ / "secret.txt", dir_ / "LINK.TBL");
  EXPECT_EQ(DeleteLinePath(dir_, "tablas\\old.tbl"), DeleteOutcome::Deleted);
  EXPECT_FALSE(fs::exists(dir_ / "OLD.TBL"));
  EXPECT_EQ(DeleteLinePath(dir_, "tablas\\OLD.TBL"), DeleteOutcome::Missing);
  EXPECT_EQ(DeleteLinePath(dir_, "..\\secret.txt"), DeleteOutcome::Refused);
  EXPECT_EQ(DeleteLinePath(dir_, "TRAFICO"), DeleteOutcome::NotAFile);
  EXPECT_TRUE(fs::is_directory(dir_ / "TRAFICO"));
  // A link goes, its target outside the folder stays.
  EXPECT_EQ(DeleteLinePath(dir_, "tablas\\LINK.TBL"), DeleteOutcome::Deleted);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "LINK.TBL")));
  EXPECT_EQ(Read(root_ / "secret.txt"), "keep");
}

// A kept deletion moves the bytes aside in order; a file that cannot be kept is not deleted.
TEST_F(FilesTest, KeptDeletionsAreMovedAsideInOrder) {
  const fs::path keep = root_ / "kept";
  Write(dir_ / "TRAFICO" / "TRAFICO.TRF", "first");
  EXPECT_EQ(DeleteLinePath(dir_, "TRAFICO\\TRAFICO.TRF", keep), DeleteOutcome::Deleted);
  Write(dir_ / "TRAFICO" / "TRAFICO.TRF", "second");
  EXPECT_EQ(DeleteLinePath(dir_, "TRAFICO\\TRAFICO.TRF", keep), DeleteOutcome::Deleted);
  EXPECT_EQ(DeleteLinePath(dir_, "TRAFICO\\TRAFICO.TRF", keep), DeleteOutcome::Missing);
  EXPECT_FALSE(fs::exists(dir_ / "TRAFICO" / "TRAFICO.TRF"));
  EXPECT_EQ(Read(keep / "1-TRAFICO.TRF"), "first");
  EXPECT_EQ(Read(keep / "2-TRAFICO.TRF"), "second");

  Write(dir_ / "OLD.TBL", "old");
  Write(root_ / "not-a-folder", "x");
  EXPECT_EQ(DeleteLinePath(dir_, "tablas\\OLD.TBL", root_ / "not-a-folder"), DeleteOutcome::Failed);
  EXPECT_EQ(Read(dir_ / "OLD.TBL"), "old");
}

TEST_F(FilesTest, SendingStoresEachFileUnderItsOwnName) {
  Write(dir_ / "TRAFICO" / "TRAFICO.TRF", "traffic");
  Write(dir_ / "06122026.daw", "day");
  Write(root_ / "secret.txt", "keep");
  fs::create_symlink(root_ / "secret.txt", dir_ / "07122026.daw");
  const SendSelection traffic = SelectForSending(dir_, "TRAFICO\\trafico.TRF");
  ASSERT_EQ(traffic.items.size(), 1u);
  EXPECT_EQ(traffic.items[0].stored_name, "TRAFICO.TRF");
  EXPECT_EQ(traffic.items[0].file, dir_ / "TRAFICO" / "TRAFICO.TRF");

  const SendSelection days =
      SelectForSending(dir_, "05122026.daw 06122026.daw 06122026.DAW ..\\secret.txt 07122026.daw ");
  ASSERT_EQ(days.items.size(), 1u);
  EXPECT_EQ(days.items[0].stored_name, "06122026.daw");
  EXPECT_EQ(days.missing, std::vector<std::string>{"05122026.daw"});
  // A link that leads out of the folder is not followed for sending.
  EXPECT_EQ(days.refused, (std::vector<std::string>{"..\\secret.txt", "07122026.daw"}));
}

TEST_F(FilesTest, ReceivedFilesReplaceTheirOldCopiesAndTablesLandAtTheTop) {
  Write(dir_ / "tarifa.tbl", "old");
  Write(dir_ / "upgrade" / "keep.upg", "kept");
  const fs::path staging = dir_ / ".staging";
  Write(staging / "tablas" / "TARIFA.TBL", "new");
  Write(staging / "tablas" / "ZONAS.TBL", "zones");
  Write(staging / "upgrade" / "PROGRAMA.UPG", "program");
  fs::create_symlink(root_ / "elsewhere", staging / "tablas" / "LINK.TBL");
  const auto placed = PlaceReceived(staging, dir_);
  EXPECT_EQ(placed, (std::vector<std::string>{"TARIFA.TBL", "ZONAS.TBL", "upgrade/PROGRAMA.UPG"}));
  EXPECT_EQ(Read(dir_ / "TARIFA.TBL"), "new");
  std::vector<std::string> top;
  for (const auto& e : fs::directory_iterator(dir_)) top.push_back(e.path().filename().string());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<std::string>{".staging", "TARIFA.TBL", "ZONAS.TBL", "upgrade"}));
  EXPECT_EQ(Read(dir_ / "upgrade" / "PROGRAMA.UPG"), "program");
  EXPECT_EQ(Read(dir_ / "upgrade" / "keep.upg"), "kept");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "LINK.TBL")));
}

}  // namespace
}  // namespace marvolen::office
