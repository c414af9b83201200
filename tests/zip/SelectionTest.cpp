#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "zip/FileSelection.h"

namespace marvolen {
namespace {

using testing::WriteFile;

class Selection : public testing::ScratchDir {
 protected:
  // "StoredName attributes" of every item the search delivers, in order.
  std::vector<std::string> Select(const std::string& mask, uint32_t attr = kStationAttrMask,
                                  const std::string& exclude = "") {
    std::vector<std::string> out;
    SelectFiles(settings_, mask, attr, exclude, [&](const FoundItem& item) {
      out.push_back(item.StoredName + " " + std::to_string(item.Attributes));
      return true;
    });
    return out;
  }
  SelectionSettings settings_;
};

using Items = std::vector<std::string>;

TEST_F(Selection, EmptyOrMissingDirectoriesDeliverNothing) {
  std::filesystem::create_directory("tablas");
  EXPECT_EQ(Select("tablas\\*.*"), Items{});
  EXPECT_EQ(Select("upgrade\\*.*"), Items{});
}

TEST_F(Selection, EveryFileIncludingNamesWithoutADotAndReadOnlyOnes) {
  WriteFile("tablas/LEEME", "x");
  WriteFile("tablas/Tarifa.Tbl", "y");
  WriteFile("tablas/ro.tbl", "z");
  ::chmod("tablas/ro.tbl", 0444);
  EXPECT_EQ(Select("tablas\\*.*"),
            (Items{"tablas/LEEME 32", "tablas/Tarifa.Tbl 32", "tablas/ro.tbl 33"}));
  // An attribute mask without the archive bit takes only the read-only file.
  EXPECT_EQ(Select("tablas/*.*", 0x01), Items{"tablas/ro.tbl 33"});
}

TEST_F(Selection, SubDirectoryFollowsTheFilesWithAllItsContentBeforeTheNextMask) {
  WriteFile("tablas/a.tbl", "a");
  WriteFile("tablas/D/x.tbl", "x");
  WriteFile("tablas/D/E/LEEME", "y");
  WriteFile("upgrade/u.exe", "u");
  Items items = Select("tablas\\*.*");
  const Items more = Select("upgrade\\*.*");
  items.insert(items.end(), more.begin(), more.end());
  EXPECT_EQ(items, (Items{"tablas/a.tbl 32", "tablas/D/ 16", "tablas/D/x.tbl 32", "tablas/D/E/ 16",
                          "tablas/D/E/LEEME 32", "upgrade/u.exe 32"}));
}

TEST_F(Selection, WithoutTheDirectoryBitRecursionTakesFilesOnly) {
  WriteFile("tablas/a.tbl", "a");
  WriteFile("tablas/D/b.tbl", "b");
  WriteFile("tablas/D/c.txt", "c");
  EXPECT_EQ(Select("*.tbl", 0x21), (Items{"tablas/a.tbl 32", "tablas/D/b.tbl 32"}));
  settings_.Recurse = false;
  EXPECT_EQ(Select("tablas/*.tbl", 0x21), Items{"tablas/a.tbl 32"});
}

TEST_F(Selection, TheArchiveItselfIsNeverSelected) {
  WriteFile("tablas/a.tbl", "a");
  WriteFile("tablas/envio.zip", "PK");
  settings_.ArchivePath = (dir_ / "tablas" / "envio.zip").string();
  EXPECT_EQ(Select("tablas/*.*"), Items{"tablas/a.tbl 32"});
}

TEST_F(Selection, MaskCaseForTheDirectoryAndListedCaseForTheFile) {
  WriteFile("tablas/Tarifa.Tbl", "t");
  EXPECT_EQ(Select("TABLAS\\*.*"), Items{"TABLAS/Tarifa.Tbl 32"});
}

TEST_F(Selection, ExclusionMasks) {
  WriteFile("tablas/a.tbl", "a");
  WriteFile("tablas/b.txt", "b");
  WriteFile("tablas/D/c.tbl", "c");
  // The directory itself is no ".tbl": it is taken, its content is not.
  EXPECT_EQ(Select("tablas/*.*", kStationAttrMask, "*.tbl"),
            (Items{"tablas/b.txt 32", "tablas/D/ 16"}));
  EXPECT_EQ(Select("tablas/*.*", kStationAttrMask, "*.*"), Items{});
  EXPECT_EQ(Select("tablas/*.*", kStationAttrMask, "tablas/D"),
            (Items{"tablas/a.tbl 32", "tablas/b.txt 32"}));
  EXPECT_EQ(Select("tablas/*.*", kStationAttrMask, (dir_ / "tablas" / "*.*").string()), Items{});
}

TEST_F(Selection, LinksToDirectoriesAreNotEnteredAndSpecialFilesAreSkipped) {
  WriteFile("tablas/a.tbl", "a");
  std::filesystem::create_directory_symlink("..", "tablas/loop");
  ASSERT_EQ(::mkfifo("tablas/pipe", 0644), 0);
  EXPECT_EQ(Select("tablas/*.*"), Items{"tablas/a.tbl 32"});
}

TEST_F(Selection, EventsMayRefuseAndRename) {
  WriteFile("tablas/a.tbl", "a");
  WriteFile("tablas/b.tbl", "b");
  settings_.OnConfirmProcessFile = [](const std::string& path) {
    return path.find("b.tbl") == std::string::npos;
  };
  std::string shown;
  settings_.OnStoreFile = [&](std::string& name, uint32_t& attributes, std::string&) {
    shown = name;
    name = "otra\\" + name.substr(name.find('\\') + 1);
    attributes = 0x21;
  };
  EXPECT_EQ(Select("tablas/*.*"), Items{"otra/a.tbl 33"});
  EXPECT_EQ(shown, "tablas\\a.tbl");
}

TEST_F(Selection, AnErrorEndsTheSearchAndLeavesTheDirectoryAsItWas) {
  WriteFile("tablas/a.tbl", "a");
  WriteFile("tablas/b.tbl", "b");
  const auto before = std::filesystem::current_path();
  int delivered = 0;
  EXPECT_THROW(SelectFiles(settings_, "tablas/*.*", kStationAttrMask, "",
                           [&](const FoundItem&) -> bool {
                             ++delivered;
                             throw std::runtime_error("disk gone");
                           }),
               std::runtime_error);
  EXPECT_EQ(delivered, 1);
  EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST_F(Selection, ARootedMaskWithoutASecondSeparatorStaysInTheBaseDirectory) {
  WriteFile("home/a.tbl", "a");
  WriteFile("home/sub/b.tbl", "b");
  WriteFile("c.tbl", "c");
  settings_.BaseDir = (dir_ / "home").string();
  const auto select = [&](const std::string& mask, const std::string& exclude = "") {
    std::vector<std::string> out;
    SelectFiles(settings_, mask, kStationAttrMask, exclude, [&](const FoundItem& item) {
      if (item.FullPath.rfind((dir_ / "home").string(), 0) != 0) {
        throw std::runtime_error("left the base directory: " + item.FullPath);
      }
      out.push_back(item.StoredName);
      return true;
    });
    return out;
  };
  EXPECT_EQ(select("/*.*"), (Items{"a.tbl", "sub/", "sub/b.tbl"}));
  EXPECT_EQ(select("\\a.*"), Items{"a.tbl"});
  EXPECT_EQ(select("/*.*", "/a.tbl"), (Items{"sub/", "sub/b.tbl"}));
  // With a second separator the mask is a path of its own.
  EXPECT_EQ(select((dir_ / "home" / "sub" / "*.*").string()), Items{"sub/b.tbl"});
}

TEST_F(Selection, ExplicitBaseDirectoryInsteadOfTheCurrentOne) {
  WriteFile("home/tablas/a.tbl", "a");
  settings_.BaseDir = (dir_ / "HOME").string();  // found without regard to letter case
  EXPECT_EQ(Select("tablas/*.*"), Items{"tablas/a.tbl 32"});
}

}  // namespace
}  // namespace marvolen
