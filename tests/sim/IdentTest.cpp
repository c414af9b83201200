#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "call/IdentLine.h"
#include "sim/OfficeIdent.h"
#include "tests/ScratchDir.h"

namespace marvolen::office {
namespace {

namespace fs = std::filesystem;

class IdentTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = scratch::NewScratchDir("ident"); }
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
  Write("TAR.IFA.TBL", "x");     // the station would cut it to TAR.IFA and shift the rest
  Write("upgrade/PARCHE", "x");  // unpadded, the station could not tell where it ends
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
      "ZONAS.TBL510       "  // a short name is written unpadded
      "PROGRAMA.UPG5         "
      "   ";  // and the list padded to 22 characters an entry
  EXPECT_EQ(BuildIdentLine(id, files), half + half + "\r");
  EXPECT_EQ(skipped, (std::vector<std::string>{"NOMBRELARGO1.TBL", "TAR.IFA.TBL", "PARCHE"}));
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
      "TARIFA.TAB3         "
      "COSTO.COS122       "
      "     ";
  EXPECT_EQ(BuildIdentLine(id, SurveyOffice(dir_, TableKind::Tab, nullptr)), half + half + "\r");
}

// The station's own reader finds every name and value the office writes, short names and
// the entries behind them included, with HeaderWidth 98 for tbl offices and 66 for tab ones.
TEST_F(IdentTest, TheStationReadsBackEveryEntry) {
  const std::vector<ReportedFile> files = {
      {"A.TBL", 1}, {"BBBBBBBB.TBL", -123456789}, {"CC.TAB", 0}, {"DDDDDDDD0007", 2147483647}};
  for (const auto& [kind, header_width] :
       {std::pair{TableKind::Tbl, 98}, std::pair{TableKind::Tab, 66}}) {
    OfficeIdentity id;
    id.kind = kind;
    std::string line = BuildIdentLine(id, files);
    line.pop_back();  // the CR
    const IdentFields ident(line);
    ASSERT_TRUE(ident.HalvesMatch());
    const std::vector<OfficeFileEntry> read = ident.OfficeFiles(header_width);
    ASSERT_EQ(read.size(), files.size());
    for (std::size_t k = 0; k < files.size(); ++k) {
      EXPECT_EQ(read[k].name, files[k].name);
      EXPECT_EQ(read[k].value, files[k].value);
    }
    // A short name's probe finds no dot where a padded name has its extension.
    EXPECT_NE(read[0].probe[0], '.');
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
