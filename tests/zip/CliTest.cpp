#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;
using testing::BuildArchive;
using testing::ReadFile;
using testing::Shell;
using testing::StoredEntry;
using testing::WriteFile;

const std::string kTool = MARVOLEN_ZIP_PROGRAM;

class Cli : public testing::ScratchDir {};

TEST_F(Cli, CreateListTestExtract) {
  WriteFile("tablas/Tarifa.Tbl", testing::TableLikeBytes(5000, 1));
  WriteFile("upgrade/prog.exe", "MZ");
  ASSERT_EQ(Shell(kTool + " create envio.zip 'tablas/*.*' 'upgrade\\*.*'").status, 0);
  const auto list = Shell(kTool + " list envio.zip");
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.output.find("tablas/Tarifa.Tbl"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("2 entries"), std::string::npos) << list.output;
  EXPECT_EQ(Shell(kTool + " test envio.zip").status, 0);
  fs::create_directory("out");
  EXPECT_EQ(Shell("cd out && " + kTool + " extract ../envio.zip").status, 0);
  EXPECT_EQ(ReadFile("out/tablas/Tarifa.Tbl"), ReadFile("tablas/Tarifa.Tbl"));
}

TEST_F(Cli, EmptySelectionAndABuildThatCannotStart) {
  EXPECT_EQ(Shell(kTool + " create envio.zip 'tablas/*.*'").status, 0);
  EXPECT_EQ(fs::file_size("envio.zip"), 22u);
  const auto r = Shell(kTool + " create falta/envio.zip 'tablas/*.*'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("Native error: 00023"), std::string::npos) << r.output;
}

TEST_F(Cli, RefusedAndDamagedEntriesAreReportedAndFailTheRun) {
  testing::RawEntry bad = StoredEntry("malo.txt", "x");
  bad.crc ^= 1;
  WriteFile("recibo.zip",
            BuildArchive({StoredEntry("../fuera.txt", "x"), bad, StoredEntry("bien.txt", "b")}));
  const auto r = Shell(kTool + " extract recibo.zip");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("ERROR de descompresión:../fuera.txt"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("ERROR de descompresión:malo.txt"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFile("bien.txt"), "b");
  EXPECT_FALSE(fs::exists("../fuera.txt"));
  EXPECT_EQ(Shell(kTool + " test recibo.zip").status, 1);
}

TEST_F(Cli, AnArchiveCutInsideAnEntryFailsTheRun) {
  std::vector<testing::RawEntry> entries;
  for (int i = 0; i < 16; ++i) {
    entries.push_back(testing::DeflatedEntry("e" + std::to_string(10 + i) + ".txt",
                                             testing::TableLikeBytes(4000, i)));
  }
  const std::string archive = BuildArchive(entries);
  // Half-way through the data of e17.txt, the eighth entry.
  const size_t cut = archive.find("e17.txt") + 7 + entries[7].data.size() / 2;
  WriteFile("recibo.zip", archive.substr(0, cut));
  const auto r = Shell(kTool + " extract recibo.zip");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("ERROR de descompresión:e17.txt"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFile("e16.txt"), testing::TableLikeBytes(4000, 6));
  EXPECT_FALSE(fs::exists("e17.txt"));
}

TEST_F(Cli, TestRefusesTrailingBytesAndUsageErrorsAreStatusTwo) {
  WriteFile("recibo.zip", BuildArchive({StoredEntry("a", "a")}) + std::string(5, '\0'));
  EXPECT_EQ(Shell(kTool + " test recibo.zip").status, 1);
  EXPECT_EQ(Shell(kTool + " extract").status, 2);
  EXPECT_EQ(Shell(kTool + " borrar recibo.zip").status, 2);
}

// Names come from whoever wrote the archive: a terminal must not take them as commands,
// and a NUL in one must not cut the line that reports it.
TEST_F(Cli, NamesArePrintedWithTheirControlBytesEscaped) {
  WriteFile("recibo.zip", BuildArchive({StoredEntry("a\x1B[2Jb.txt", "x"),
                                        StoredEntry(std::string("c\0d.txt", 7), "y")}));
  const auto list = Shell(kTool + " list recibo.zip");
  EXPECT_NE(list.output.find("a\\x1B[2Jb.txt\n"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("c\\x00d.txt\n"), std::string::npos) << list.output;
  fs::create_directory("out");
  const auto r = Shell("cd out && " + kTool + " extract ../recibo.zip");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("ERROR de descompresión:c\\x00d.txt - "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("c\\x00d.txt\" no es un nombre de archivo simple"), std::string::npos)
      << r.output;
  EXPECT_EQ((list.output + r.output).find('\x1B'), std::string::npos);
}

}  // namespace
}  // namespace marvolen
