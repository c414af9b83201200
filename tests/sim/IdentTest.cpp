#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/OfficeIdent.h"

namespace marvolen::office {
namespace {

namespace fs = std::filesystem;

class IdentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() /
        ("ident-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const fs::path& rel, const std::string& bytes) {
    fs::create_directories((dir_ / rel).parent_path());
    std::ofstream(dir_ / rel, std::ios::binary) << bytes;
  }
  fs::path dir_;
};

TEST_F(IdentTest, TblOfficeLineByteForByte) {
  Write("TARIFA01.TBL", "abc");                    // 0x61 + 0x62 + 0x63 = 294
  Write("zonas.tbl", std::string("\xFF\xFF", 2));  // reported upper case, sum 510
  Write("NOMBRELARGO1.TBL", "x");                  // 16 characters: cannot be reported
  Write("TAR.IFA.TBL", "x");  // the station would cut it to TAR.IFA and shift the rest
  Write("notas.txt", "not a table");
  Write("upgrade/PROGRAMA.UPG", "12345");  // an upgrade reports its size
  std::vector<std::string> skipped;
  const auto files = SurveyOffice(dir_, TableKind::Tbl, &skipped);
  OfficeIdentity id;
  id.number = 7;
  id.traffic_flag = 'S';
  id.password = "ab";
  id.device_id = "KEY12345";
  id.version = "SIM 1.0";
  id.serial = "SN-1";
  const std::string half =
      "Ident=00007ST097098032032032SOFIC KEY12345 SIM 1.0     SN-1        "
      "                                "
      "TARIFA01.TBL294       "
      "ZONAS.TBL   510       "
      "PROGRAMA.UPG5         ";
  EXPECT_EQ(BuildIdentLine(id, files), half + half + "\r");
  EXPECT_EQ(skipped, (std::vector<std::string>{"NOMBRELARGO1.TBL", "TAR.IFA.TBL"}));
}

TEST_F(IdentTest, TabOfficeListsTabBeforeCosAndUsesTheShortHeader) {
  Write("TARIFA.TAB", std::string("\x01\x02", 2));
  Write("COSTO.COS", "z");
  Write("A.TBL", "ignored by a tab office");
  OfficeIdentity id;
  id.number = 123;
  id.kind = TableKind::Tab;
  id.password = "12345";
  id.features = false;
  id.program = "AB";
  const std::string half =
      "Ident=00123NS049050051052053 AB                                    "
      "TARIFA.TAB  3         "
      "COSTO.COS   122       ";
  EXPECT_EQ(BuildIdentLine(id, SurveyOffice(dir_, TableKind::Tab, nullptr)), half + half + "\r");
}

// The station reads entry k's name at HeaderWidth + 22(k-1) + 2 and its value 12 characters
// later (1-based), with HeaderWidth 98 for tbl offices and 66 for tab offices.
TEST_F(IdentTest, EntriesSitWhereTheStationReadsThem) {
  const std::vector<ReportedFile> files = {{"A.TBL", 1}, {"BBBBBBBB.TBL", -123456789}, {"C", 0}};
  for (const auto& [kind, header_width] :
       {std::pair{TableKind::Tbl, 98u}, std::pair{TableKind::Tab, 66u}}) {
    OfficeIdentity id;
    id.kind = kind;
    const std::string half = BuildIdentHalf(id, files);
    ASSERT_EQ(half.size(), header_width + 1 + 22 * files.size());
    for (std::size_t k = 0; k < files.size(); ++k) {
      const std::size_t b = header_width + 22 * k;
      std::string name = half.substr(b + 1, 12), value = half.substr(b + 13, 10);
      name.erase(name.find_last_not_of(' ') + 1);
      value.erase(value.find_last_not_of(' ') + 1);
      EXPECT_EQ(name, files[k].name);
      EXPECT_EQ(std::stol(value), files[k].value);
    }
  }
}

TEST_F(IdentTest, FaultsForTestsChangeExactlyWhatTheyShould) {
  EXPECT_EQ(WrongPassword("ab"), "Xb");
  EXPECT_EQ(WrongPassword("Xb"), "Yb");
  EXPECT_EQ(WrongPassword(""), "X");
  const std::string line = BuildIdentLine(OfficeIdentity{}, {{"A.TBL", 1}});
  const std::string bad = DifferingHalves(line);
  const std::size_t half = (line.size() - 1) / 2;
  int differences = 0;
  for (std::size_t i = 0; i < line.size(); ++i) differences += bad[i] != line[i];
  EXPECT_EQ(differences, 1);
  EXPECT_NE(bad.substr(half, half), bad.substr(0, half));
}

}  // namespace
}  // namespace marvolen::office
