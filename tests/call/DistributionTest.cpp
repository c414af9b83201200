#include "app/Distribution.h"

#include <cstdio>
#include <cstdlib>

#include "tests/call/CallFixture.h"
#include "tests/call/IdentBuilder.h"

namespace marvolen {
namespace {

using test::IdentBuilder;
namespace fs = std::filesystem;

class DistributionTest : public test::CallFixture {
 protected:
  void SetUp() override {
    CallFixture::SetUp();
    Write("work/loc07/TARIFA.TBL", "AB");  // byte sum 131
    Write("work/loc07/ZONAS.TBL", "z");    // byte sum 122
    params_.values["Check_Id"] = "0";
  }
  AdmissionResult Admit(const IdentBuilder& b) { return AdmitOffice(b.Line(), "tbl", setup_); }
  bool NothingStaged() {
    return fs::is_empty(root_ / "home/tablas") && fs::is_empty(root_ / "home/upgrade") &&
           !fs::exists(root_ / "home/envio.zip");
  }
};

TEST_F(DistributionTest, EverythingUpToDateLeavesNothingStaged) {
  Write("home/envio.zip", "old");
  Write("home/tablas/VIEJA.TBL", "old");
  Write("home/upgrade/VIEJO0007", "old");
  const auto r = Admit(IdentBuilder().File("TARIFA.TBL", 131).File("ZONAS.TBL", 122));
  ASSERT_TRUE(r.Admitted());
  EXPECT_FALSE(r.EnvioBuilt);
  EXPECT_TRUE(NothingStaged());
  EXPECT_EQ(r.TableSurvey[0].value, kUpToDate);
  EXPECT_EQ(r.DeleteList, "");
  EXPECT_EQ(activity_.back(), "Tablas:  TARIFA.TBL ZONAS.TBL");
  EXPECT_EQ(view_.back(), "Tablas:  TARIFA.TBL ZONAS.TBL");
}

TEST_F(DistributionTest, OtherSumOrUnreportedIsSentFirstUnknownIsDeleted) {
  const auto r =
      Admit(IdentBuilder().File("TARIFA.TBL", 132).File("VIEJA.TBL", 5).File("OTRA.TBL", 6));
  EXPECT_TRUE(r.EnvioBuilt);
  EXPECT_EQ(Packed(), "tablas/TARIFA.TBL\ntablas/ZONAS.TBL\n");
  EXPECT_EQ(r.DeleteList, "tablas\\VIEJA.TBL");  // OTRA.TBL waits for a later call
}

TEST_F(DistributionTest, LowerCaseReportMatchesNothing) {
  const auto r = Admit(IdentBuilder().File("tarifa.tbl", 131).File("ZONAS.TBL", 122));
  EXPECT_EQ(r.DeleteList, "tablas\\tarifa.tbl");
  EXPECT_EQ(Packed(), "tablas/TARIFA.TBL\n");
}

TEST_F(DistributionTest, WhatToDeleteOnTheOffice) {
  IdentBuilder b;
  b.files = std::string("ABC.TBL") + "0000000777" + "     ";  // unpadded: no dot at the probe
  EXPECT_EQ(Admit(b).DeleteList, "");                         // upgrades not enabled
  params_.values["UpGrade"] = "1";
  EXPECT_EQ(Admit(b).DeleteList, "upgrade\\ABC.TBL");
  b.files = "  TARIFA.UPG       777" + b.files;  // a dot at the probe, but an upgrade's
  EXPECT_EQ(Admit(b).DeleteList, "upgrade\\TARIFA.UPG");
  // Names that are no plain file name are never sent back for deletion.
  const auto r = Admit(IdentBuilder().File("", 1).File("SUB\\X.TBL", 2).File("X.TBL", 3));
  EXPECT_EQ(r.DeleteList, "tablas\\X.TBL");
  // The name goes back to the office in its own bytes; the window gets UTF-8.
  EXPECT_EQ(Admit(IdentBuilder().File("A\xD1O.TBL", 1)).DeleteList, "tablas\\A\xD1O.TBL");
  EXPECT_EQ(view_.back(), "Tablas:  AÑO.TBL");
}

TEST_F(DistributionTest, UpgradesStagedUnlessTheOfficeHasThem) {
  params_.values["UpGrade"] = "1";
  Write("work/upgrades/programa.upg", "12345");
  Write("work/upgrades/MARVOLEN0007", "123");
  IdentBuilder b;
  b.File("TARIFA.TBL", 131).File("ZONAS.TBL", 122).File("MARVOLEN0007", 3);
  Admit(b);
  EXPECT_EQ(Packed(), "upgrade/PROGRAMA.UPG\n");
  EXPECT_FALSE(Admit(b.File("PROGRAMA.UPG", 5)).EnvioBuilt);
}

TEST_F(DistributionTest, ZeroByteTableEndsTheStaging) {
  Write("work/loc07/ALTA.TBL", "");
  // Surveyed in order ALTA (0 bytes), TARIFA, ZONAS: the empty table stops the loop, so
  // neither of the others goes out although the office holds neither.
  EXPECT_FALSE(Admit(IdentBuilder()).EnvioBuilt);
  EXPECT_TRUE(NothingStaged());
  // Once the office reports the empty table as such, it no longer stands in the way.
  EXPECT_TRUE(Admit(IdentBuilder().File("ALTA.TBL", 0)).EnvioBuilt);
  EXPECT_EQ(Packed(), "tablas/TARIFA.TBL\ntablas/ZONAS.TBL\n");
}

TEST_F(DistributionTest, FailedPackOrBadValue) {
  pack_fails_ = true;
  const auto r = Admit(IdentBuilder());
  EXPECT_TRUE(r.Admitted());
  EXPECT_FALSE(r.EnvioBuilt);
  EXPECT_FALSE(fs::exists(root_ / "home/envio.zip"));
  EXPECT_EQ(view_.back(), "No se pudo armar envio.zip: disco lleno");
  IdentBuilder b;
  b.files = "  TARIFA.TBL      1,31";
  EXPECT_THROW(Admit(b), ConversionError);
}

TEST_F(DistributionTest, RealArchiveCheckedByInfoZip) {
  setup_.pack = PackEnvioZip;
  params_.values["UpGrade"] = "1";
  Write("work/upgrades/PROGRAMA.UPG", "12345");
  ASSERT_TRUE(Admit(IdentBuilder().File("TARIFA.TBL", 131)).EnvioBuilt);
  const std::string zip = (root_ / "home/envio.zip").string();
  std::string names(256, '\0');
  FILE* list = ::popen(("unzip -Z1 " + zip).c_str(), "r");
  names.resize(std::fread(names.data(), 1, names.size(), list));
  EXPECT_EQ(::pclose(list), 0);
  EXPECT_EQ(names, "tablas/ZONAS.TBL\nupgrade/PROGRAMA.UPG\n");
  EXPECT_EQ(std::system(("unzip -tqq " + zip).c_str()), 0);
  fs::remove(zip);
  fs::create_directory(zip);  // the archive cannot be created: the call goes on without it
  EXPECT_FALSE(Admit(IdentBuilder()).EnvioBuilt);
  EXPECT_EQ(view_.back().rfind("No se pudo armar envio.zip: ", 0), 0u) << view_.back();
}

}  // namespace
}  // namespace marvolen
