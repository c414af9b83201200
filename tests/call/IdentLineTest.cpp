#include "call/IdentLine.h"

#include <gtest/gtest.h>

#include "tests/call/IdentBuilder.h"

namespace marvolen {
namespace {

using test::IdentBuilder;

// Written by hand, not by the builder: a "tab" office (header 66) reporting a padded
// TARIFA.TAB and an unpadded ABC.COS whose value follows its name directly.
constexpr char kHalf[] =
    "Ident=00007Ts071065076069082"  // office 7, traffic waiting, tab tables, password GALER
    "1P123 KEY00042 V04.11.05   "   // feature flag, program, device, version (to 55)
    "NRO12345678 "                  // number 56..67; 67 is the gap before the list
    "  TARIFA.TAB      1234"        // entry 1: name 68..79, value 80..89
    "ABC.COS0000000042     ";       // entry 2: name from 90, value right behind it

TEST(IdentLine, HandWrittenLineReadsEveryField) {
  const IdentFields ident(std::string(kHalf) + kHalf);
  ASSERT_TRUE(ident.HalvesMatch());
  EXPECT_EQ(ident.OfficeNumber(), 7);
  EXPECT_EQ(ident.TableExt(), TableKind::Tab());
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(ident.PasswordGroup(i), "GALER"[i - 1]);
  EXPECT_FALSE(ident.FeatureFlagBlank());
  EXPECT_EQ(ident.SummaryLine(),
            "Traf:T Tabla:s Prog:P123 Llave:KEY00042 Ver:V04.11.05    Nro:NRO12345678 ");
  EXPECT_EQ(ident.OfficeLine(), "Oficina: 00007  ***Conectada al centro de telesupervisión***");
  const auto files = ident.OfficeFiles(66);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name + files[0].probe, "TARIFA.TAB.TAB");
  EXPECT_EQ(files[0].value, 1234);
  EXPECT_EQ(files[1].name + files[1].probe, "ABC.COS0000");
  EXPECT_EQ(files[1].value, 42);
}

TEST(IdentLine, HalvesAndFieldsCutAtTheHalf) {
  const std::string half = "Ident=" + std::string(27, 'x');
  EXPECT_TRUE(IdentFields(half + half + "Z").HalvesMatch());  // odd length: last one ignored
  EXPECT_FALSE(IdentFields(half + half.substr(0, 32) + "y").HalvesMatch());
  const IdentFields shorty("Ident=00007TTIdent=00007TT");
  EXPECT_EQ(shorty.Field(12, 5), "TT");
  EXPECT_TRUE(shorty.FeatureFlagBlank());  // missing counts as blank
  // The last value runs past the half and loses its last digit.
  std::string line = IdentBuilder().File("A.TBL", 1234567).Half();
  line.pop_back();
  EXPECT_EQ(IdentFields(line + line).OfficeFiles(98).at(0).value, 123456);
  IdentBuilder b;
  b.version = "Versi\xF3n 4   ";  // Windows-1252 on the line, UTF-8 in the window
  EXPECT_NE(IdentFields(b.Line()).SummaryLine().find("Ver:Versión 4    Nro:"), std::string::npos);
}

TEST(IdentLine, DotRuleShiftsLaterEntries) {
  IdentBuilder b;
  b.files = std::string("ABC.TBL") + "0000000777";  // 5 places short of a padded entry
  b.File("TARIFA.TBL", 99).File("PROGRAMA0007", 5000);
  b.files += "     ";  // the office pads the line to its nominal length
  const auto files = IdentFields(b.Line()).OfficeFiles(98);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].name + "=" + std::to_string(files[0].value), "ABC.TBL=777");
  EXPECT_EQ(files[1].name + "=" + std::to_string(files[1].value), "TARIFA.TBL=99");
  EXPECT_EQ(files[1].probe, "    ");  // read at the nominal place, where no dot is now
  EXPECT_EQ(files[2].name + "=" + std::to_string(files[2].value), "PROGRAMA0007=5000");
  b.files = "  TARIFA.TBL      12x4";
  EXPECT_THROW(IdentFields(b.Line()).OfficeFiles(98), ConversionError);
}

}  // namespace
}  // namespace marvolen
