#include "call/Distribution.h"

#include <algorithm>
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
  // Each call here is over before the next: the office's lock is let go at once.
  AdmissionResult Admit(const IdentBuilder& b) {
    AdmissionResult r = AdmitOffice(b.Line(), TableKind::Tbl(), setup_);
    r.OfficeLock.reset();
    return r;
  }
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
  EXPECT_EQ(r.office.DeleteList, "");
  EXPECT_EQ(activity_.back(), "Tablas:  TARIFA.TBL ZONAS.TBL");
  EXPECT_EQ(view_.back(), "Tablas:  TARIFA.TBL ZONAS.TBL");
}

TEST_F(DistributionTest, OtherSumOrUnreportedIsSentFirstUnknownIsDeleted) {
  const auto r =
      Admit(IdentBuilder().File("TARIFA.TBL", 132).File("VIEJA.TBL", 5).File("OTRA.TBL", 6));
  EXPECT_TRUE(r.EnvioBuilt);
  EXPECT_EQ(Packed(), "tablas/TARIFA.TBL\ntablas/ZONAS.TBL\n");
  EXPECT_EQ(r.office.DeleteList, "tablas\\VIEJA.TBL");  // OTRA.TBL waits for a later call
}

TEST_F(DistributionTest, LowerCaseReportMatchesNothing) {
  const auto r = Admit(IdentBuilder().File("tarifa.tbl", 131).File("ZONAS.TBL", 122));
  EXPECT_EQ(r.office.DeleteList, "tablas\\tarifa.tbl");
  EXPECT_EQ(Packed(), "tablas/TARIFA.TBL\n");
}

// A byte Windows-1252 leaves undefined is a name's own byte all the same: the office's table
// named with it is its master on the station, neither sent again nor deleted.
TEST_F(DistributionTest, UndefinedByteInANameMatchesItsMaster) {
  Write("work/loc07/A\u0081.TBL", "AB");
  const auto r =
      Admit(IdentBuilder().File("A\x81.TBL", 131).File("TARIFA.TBL", 131).File("ZONAS.TBL", 122));
  EXPECT_FALSE(r.EnvioBuilt);
  EXPECT_EQ(r.office.DeleteList, "");
  EXPECT_EQ(view_.back(), "Tablas:  A\u0081.TBL TARIFA.TBL ZONAS.TBL");
}

TEST_F(DistributionTest, WhatToDeleteOnTheOffice) {
  IdentBuilder b;
  b.files = std::string("ABC.TBL") + "0000000777" + "     ";  // unpadded: no dot at the probe
  EXPECT_EQ(Admit(b).office.DeleteList, "");                  // upgrades not enabled
  params_.values["UpGrade"] = "1";
  EXPECT_EQ(Admit(b).office.DeleteList, "upgrade\\ABC.TBL");
  b.files = "  TARIFA.UPG       777" + b.files;  // a dot at the probe, but an upgrade's
  EXPECT_EQ(Admit(b).office.DeleteList, "upgrade\\TARIFA.UPG");
  // Names that are no plain file name are never sent back for deletion.
  const auto r = Admit(
      IdentBuilder().File("", 1).File("SUB\\X.TBL", 2).File(".", 4).File("..", 5).File("X.TBL", 3));
  EXPECT_EQ(r.office.DeleteList, "tablas\\X.TBL");
  // The name goes back to the office in its own bytes; the window gets UTF-8.
  EXPECT_EQ(Admit(IdentBuilder().File("A\xD1O.TBL", 1)).office.DeleteList, "tablas\\A\xD1O.TBL");
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

TEST_F(DistributionTest, ZeroByteTableIsLeftOutAndTheTablesAfterItStillGo) {
  Write("work/loc07/ALTA.TBL", "");
  const auto notes = [this] {
    return std::count(view_.begin(), view_.end(), "Tabla vacía, no se envía: ALTA.TBL") * 10 +
           std::count(activity_.begin(), activity_.end(), "Tabla vacía, no se envía: ALTA.TBL");
  };
  // Surveyed in order ALTA (0 bytes), TARIFA, ZONAS: the office lacks ZONAS, which goes out;
  // the empty table is shown and logged once and not sent.
  auto r = Admit(IdentBuilder().File("TARIFA.TBL", 131));
  EXPECT_TRUE(r.EnvioBuilt);
  EXPECT_EQ(Packed(), "tablas/ZONAS.TBL\n");
  EXPECT_EQ(notes(), 11);
  // With nothing else to send, the empty table alone builds no archive.
  view_.clear(), activity_.clear();
  r = Admit(IdentBuilder().File("TARIFA.TBL", 131).File("ZONAS.TBL", 122));
  EXPECT_FALSE(r.EnvioBuilt);
  EXPECT_TRUE(NothingStaged());
  EXPECT_EQ(notes(), 11);
  // An office that reports the empty table as such is up to date: no note.
  view_.clear(), activity_.clear();
  r = Admit(IdentBuilder().File("ALTA.TBL", 0).File("TARIFA.TBL", 131).File("ZONAS.TBL", 122));
  EXPECT_FALSE(r.EnvioBuilt);
  EXPECT_EQ(notes(), 0);
}

TEST_F(DistributionTest, DirectoriesAreFoundWhateverTheirLetterCase) {
  fs::rename(root_ / "work/loc07", root_ / "work/LOC07");
  fs::rename(root_ / "work/upgrades", root_ / "work/UPGRADES");
  fs::rename(root_ / "home/tablas", root_ / "home/Tablas");
  fs::rename(root_ / "home/upgrade", root_ / "home/UPGRADE");
  Write("work/UPGRADES/PROGRAMA.UPG", "12345");
  Write("home/Tablas/VIEJA.TBL", "left from the last call");
  params_.values["UpGrade"] = "1";
  setup_.pack = PackEnvioZip;
  const auto r = Admit(IdentBuilder().File("TARIFA.TBL", 131));
  ASSERT_TRUE(r.Admitted());
  EXPECT_EQ(opened_, (root_ / "work/LOC07").string());
  EXPECT_EQ(r.office.OfficeDir, (root_ / "work/LOC07").string());
  ASSERT_TRUE(r.EnvioBuilt);
  // Staged in the directories as they are, packed under the names the office expects.
  EXPECT_FALSE(fs::exists(root_ / "home/tablas"));
  EXPECT_FALSE(fs::exists(root_ / "home/upgrade"));
  EXPECT_FALSE(fs::exists(root_ / "home/Tablas/VIEJA.TBL"));
  EXPECT_TRUE(fs::exists(root_ / "home/Tablas/ZONAS.TBL"));
  EXPECT_TRUE(fs::exists(root_ / "home/UPGRADE/PROGRAMA.UPG"));
  const std::string zip = (root_ / "home/envio.zip").string();
  std::string names(256, '\0');
  FILE* list = ::popen(("unzip -Z1 " + zip).c_str(), "r");
  names.resize(std::fread(names.data(), 1, names.size(), list));
  EXPECT_EQ(::pclose(list), 0);
  EXPECT_EQ(names, "tablas/ZONAS.TBL\nupgrade/PROGRAMA.UPG\n");
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

TEST_F(DistributionTest, FileReplacedSinceTheSurveyIsLeftOutOfThisCall) {
  Write("work/upgrades/PROGRAMA.UPG", "12345");
  const StagingPlaces places{setup_.ExeDir, setup_.WorkDir, setup_.WorkDir + "loc07", "0007"};
  const auto stage = [&](const SurveyEntries& survey) {
    return StageAndPack(survey, places, setup_.pack, setup_.view, setup_.activity, SystemFileOps());
  };
  const auto notes = [this](const char* name) {
    const std::string note =
        std::string("Archivo modificado durante la preparación, no se envía: ") + name;
    return std::count(view_.begin(), view_.end(), note) * 10 +
           std::count(activity_.begin(), activity_.end(), note);
  };
  // As surveyed, everything goes.
  ASSERT_TRUE(stage({{"TARIFA.TBL", 131}, {"ZONAS.TBL", 122}, {"PROGRAMA.UPG", 5}}));
  EXPECT_EQ(Packed(), "tablas/TARIFA.TBL\ntablas/ZONAS.TBL\nupgrade/PROGRAMA.UPG\n");
  // The operator rewrote TARIFA (same size, other bytes) and is halfway through copying the
  // upgrade: neither goes out; ZONAS still does.
  Write("work/loc07/TARIFA.TBL", "AC");
  Write("work/upgrades/PROGRAMA.UPG", "123");
  ASSERT_TRUE(stage({{"TARIFA.TBL", 131}, {"ZONAS.TBL", 122}, {"PROGRAMA.UPG", 5}}));
  EXPECT_EQ(Packed(), "tablas/ZONAS.TBL\n");
  EXPECT_EQ(notes("TARIFA.TBL") * 100 + notes("PROGRAMA.UPG"), 1111);
  // Nothing left to send: no archive at all.
  EXPECT_FALSE(stage({{"TARIFA.TBL", 131}, {"PROGRAMA.UPG", 5}}));
  EXPECT_TRUE(NothingStaged());
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
