#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "zip/ZipArchiver.h"

namespace marvolen {
namespace {

using testing::ReadFile;
using testing::Shell;
using testing::WriteFile;

struct Failure {
  std::string file_name;
  TArchiveOperation operation;
  int native, code;
  std::string message;
  TArchiveAction preset;
};

class Commit : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    zip_.SetFileName("envio.zip");
    zip_.OnProcessFileFailure = [this](TBaseArchiver&, const std::string& file_name,
                                       TArchiveOperation operation, int native, int code,
                                       const std::string& message, TArchiveAction& action) {
      failures_.push_back({file_name, operation, native, code, message, action});
      action = answer_;
    };
    WriteFile("tablas/a.tbl", testing::TableLikeBytes(3000, 1));
    WriteFile("tablas/b.tbl", testing::TableLikeBytes(5000, 2));
    WriteFile("tablas/c.tbl", testing::TableLikeBytes(7000, 3));
  }
  // Unpacks the archive with Info-ZIP into `into` and says whether it tested clean.
  bool UnzipClean(const std::string& into) {
    return Shell("unzip -t -q envio.zip").status == 0 &&
           Shell("unzip -q -o envio.zip -d " + into).status == 0;
  }
  testing::FaultyIo io_;
  TZipArchiver zip_{"Zipper1", nullptr, &io_};
  std::vector<Failure> failures_;
  TArchiveAction answer_ = faIgnore;
};

TEST_F(Commit, LockedFileIsReportedAndLeftOutTheRestIsIntact) {
  io_.refuse_open = "b.tbl";
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  zip_.CloseZip();
  ASSERT_EQ(failures_.size(), 1u);
  const Failure& f = failures_[0];
  EXPECT_EQ(f.file_name, (dir_ / "tablas/b.tbl").string());
  EXPECT_EQ(f.operation, aoAdd);
  EXPECT_EQ(f.native, kErrOpenFile);
  EXPECT_EQ(f.code, 12);
  EXPECT_EQ(f.message, "Zipper1: Cannot open file \"" + f.file_name + "\" - Native error: 00033");
  EXPECT_EQ(f.preset, faIgnore);
  ASSERT_TRUE(UnzipClean("out"));
  EXPECT_EQ(ReadFile("out/tablas/a.tbl"), ReadFile("tablas/a.tbl"));
  EXPECT_EQ(ReadFile("out/tablas/c.tbl"), ReadFile("tablas/c.tbl"));
  EXPECT_FALSE(std::filesystem::exists("out/tablas/b.tbl"));
}

TEST_F(Commit, RetryPacksTheFileOnceItIsFree) {
  io_.refuse_open = "b.tbl";
  io_.open_failures = 1;
  answer_ = faRetry;
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  zip_.CloseZip();
  EXPECT_EQ(failures_.size(), 1u);
  ASSERT_TRUE(UnzipClean("out"));
  EXPECT_EQ(ReadFile("out/tablas/b.tbl"), ReadFile("tablas/b.tbl"));
}

TEST_F(Commit, AbortPutsBackTheArchiveOfTheLastCommitAndThrows) {
  WriteFile("upgrade/u.exe", "u");
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  const std::string before = ReadFile("envio.zip");
  io_.refuse_open = "u.exe";
  answer_ = faAbort;
  try {
    zip_.AddMatching("upgrade/*.*");
    FAIL() << "an aborted batch reported success";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.NativeError(), kErrOpenFile);
  }
  EXPECT_EQ(ReadFile("envio.zip"), before);
  EXPECT_EQ(zip_.Count(), 3u);
}

TEST_F(Commit, WriteErrorOutsideAnEntryRestoresTheArchiveAndPassesOn) {
  WriteFile("upgrade/u.exe", "u");
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  const std::string before = ReadFile("envio.zip");
  io_.refuse_write_of = std::string("PK\x01\x02", 4);  // the central directory
  io_.write_failures = 1;
  try {
    zip_.AddMatching("upgrade/*.*");
    FAIL() << "a failed central directory went unreported";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.NativeError(), kErrWrite);
    EXPECT_EQ(e.code(), std::errc::no_space_on_device);  // the system's reason, not a check's
  }
  EXPECT_TRUE(failures_.empty());
  EXPECT_EQ(ReadFile("envio.zip"), before);
}

TEST_F(Commit, ReplacingAnEntryMovesTheOnesBehindIt) {
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  WriteFile("tablas/b.tbl", testing::TableLikeBytes(20000, 9));
  zip_.AddMatching("tablas/b.tbl");
  zip_.CloseZip();
  ASSERT_TRUE(UnzipClean("out"));
  for (const char* name : {"a.tbl", "b.tbl", "c.tbl"}) {
    EXPECT_EQ(ReadFile(std::string("out/tablas/") + name), ReadFile(std::string("tablas/") + name))
        << name;
  }
}

TEST_F(Commit, OverwriteNeverKeepsTheOldEntry) {
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  const std::string old = ReadFile("tablas/b.tbl");
  WriteFile("tablas/b.tbl", "new");
  zip_.Options().OverwriteMode = omNever;
  zip_.AddMatching("tablas/b.tbl");
  zip_.CloseZip();
  ASSERT_TRUE(UnzipClean("out"));
  EXPECT_EQ(ReadFile("out/tablas/b.tbl"), old);
}

TEST_F(Commit, AReplacementThatFailsKeepsTheOldData) {
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  const std::string old = ReadFile("tablas/b.tbl");
  WriteFile("tablas/b.tbl", "new");
  io_.refuse_open = "b.tbl";
  zip_.AddMatching("tablas/b.tbl");
  zip_.CloseZip();
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0].file_name, "tablas/b.tbl");  // the stored name of a replaced entry
  EXPECT_EQ(failures_[0].operation, aoReplace);
  ASSERT_TRUE(UnzipClean("out"));
  EXPECT_EQ(ReadFile("out/tablas/b.tbl"), old);
  EXPECT_EQ(ReadFile("out/tablas/c.tbl"), ReadFile("tablas/c.tbl"));
}

TEST_F(Commit, ASourceOfFourGigabytesIsRefusedBeforeAnythingIsWritten) {
  const int fd = ::open("tablas/huge.bin", O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 0xFFFFFFFFLL), 0);  // sparse: no real space is used
  ::close(fd);
  zip_.OpenZip(kOpenCreate);
  zip_.AddMatching("tablas/*.*");
  zip_.CloseZip();
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0].native, kErrZip64Source);
  EXPECT_TRUE(UnzipClean("out"));
}

TEST_F(Commit, NestedBatchesCommitOnceAtTheOutermostEnd) {
  zip_.OpenZip(kOpenCreate);
  zip_.BeginBatch();
  zip_.AddMatching("tablas/a.tbl");
  EXPECT_EQ(zip_.BatchDepth(), 1);
  EXPECT_EQ(ReadFile("envio.zip"), "");  // nothing written inside the batch
  try {
    zip_.ExtractMatching();
    FAIL() << "extraction inside a batch";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.NativeError(), kErrBatchOpen);
  }
  zip_.EndBatch();
  EXPECT_EQ(zip_.BatchDepth(), 0);
  zip_.CloseZip();
  EXPECT_TRUE(UnzipClean("out"));
}

TEST_F(Commit, ABatchOnAClosedComponentUpdatesAnInfoZipArchive) {
  ASSERT_EQ(Shell("zip -q -1 envio.zip tablas/a.tbl tablas/b.tbl tablas/c.tbl").status, 0);
  WriteFile("tablas/a.tbl", "replaced");
  WriteFile("upgrade/u.exe", "new entry");
  zip_.BeginBatch();
  zip_.AddMatching("tablas/a.tbl");
  zip_.AddMatching("upgrade/*.*");
  zip_.EndBatch();
  zip_.CloseZip();
  ASSERT_TRUE(UnzipClean("out"));
  EXPECT_EQ(ReadFile("out/tablas/a.tbl"), "replaced");
  EXPECT_EQ(ReadFile("out/tablas/c.tbl"), ReadFile("tablas/c.tbl"));
  EXPECT_EQ(ReadFile("out/upgrade/u.exe"), "new entry");
}

}  // namespace
}  // namespace marvolen
