#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "zip/ZipArchiver.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;
using testing::BuildArchive;
using testing::DeflatedEntry;
using testing::RawEntry;
using testing::ReadFile;
using testing::StoredEntry;
using testing::WriteFile;

class Hostile : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    zip_.SetFileName("recibo.zip");
    zip_.OnProcessFileFailure = [this](TBaseArchiver&, const std::string& file_name,
                                       TArchiveOperation, int native, int, const std::string&,
                                       TArchiveAction&) {
      failed_.push_back(file_name + " " + std::to_string(native));
    };
  }
  // Opens and extracts into "out"; returns the error number that stopped it, 0 if none.
  int ExtractAll(bool tolerate = false) {
    try {
      zip_.SetTolerateDamage(tolerate);
      zip_.OpenZip(kOpenRead);
      zip_.SetBaseDir("out");
      zip_.ExtractMatching("*.*", kStationAttrMask, "");
      zip_.CloseZip();
    } catch (const EArchiveError& e) {
      return e.NativeError();
    }
    return 0;
  }
  // Every regular file below the scratch directory, apart from the archive.
  std::vector<std::string> FilesWritten() const {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir_)) {
      const std::string rel = fs::relative(e.path(), dir_).string();
      if (!e.is_directory() && rel != "recibo.zip") out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  testing::FaultyIo io_;
  TZipArchiver zip_{"Zipper1", nullptr, &io_};
  std::vector<std::string> failed_;
};

using Lines = std::vector<std::string>;

// How the failure handler above records a failed entry.
std::string Failed(const std::string& name, int native_error) {
  return name + " " + std::to_string(native_error);
}

TEST_F(Hostile, NamesLeavingTheTargetAndLinksAreReportedAndSkipped) {
  RawEntry link = StoredEntry("enlace", "/etc/passwd");
  link.made_by = 0x031E;             // Unix host
  link.attributes = 0120777u << 16;  // symbolic link mode
  // An absolute name into this test's own directory, beside the target: where it would land
  // were absolute names followed, and no other test's business.
  const std::string absolute = fs::absolute("absoluto.txt").string();
  const std::vector<std::string> escaping = {"../fuera.txt", "a/../../fuera.txt", absolute,
                                             "//tmp/x.txt",  "C:/x.txt",          "c:x.txt",
                                             "..\\..\\x.txt"};
  std::vector<RawEntry> entries = {StoredEntry("bien.txt", "1")};
  for (const std::string& name : escaping) entries.push_back(StoredEntry(name, "malo"));
  entries.push_back(link);
  entries.push_back(StoredEntry("enlace/passwd", "2"));
  entries.push_back(StoredEntry("./sub/./bien2.txt", "3"));
  WriteFile("recibo.zip", BuildArchive(entries));
  EXPECT_EQ(ExtractAll(), 0);
  Lines expected;
  for (std::string name : escaping) {
    std::replace(name.begin(), name.end(), '\\', '/');
    expected.push_back(Failed(name, kErrUnsafeName));
  }
  expected.push_back(Failed("enlace", kErrSymbolicLink));
  EXPECT_EQ(failed_, expected);
  EXPECT_EQ(FilesWritten(), (Lines{"out/bien.txt", "out/enlace/passwd", "out/sub/bien2.txt"}));
  EXPECT_FALSE(fs::exists(absolute));
}

TEST_F(Hostile, ALinkAlreadyOnTheDiskIsNotFollowed) {
  fs::create_directories("out");
  fs::create_directories("afuera");
  fs::create_directory_symlink("../afuera", "out/sub");
  WriteFile("recibo.zip", BuildArchive({StoredEntry("sub/x.txt", "x"), StoredEntry("y", "y")}));
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_EQ(failed_, Lines{Failed("sub/x.txt", kErrCreateDirectory)});
  EXPECT_EQ(FilesWritten(), Lines{"out/y"});
}

TEST_F(Hostile, InflatingStopsAtTheDeclaredSize) {
  RawEntry bomb = DeflatedEntry("bomba.txt", std::string(1 << 20, '\0'));
  bomb.usize = 10;
  WriteFile("recibo.zip", BuildArchive({bomb, StoredEntry("ok.txt", "ok")}));
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_EQ(failed_, Lines{Failed("bomba.txt", kErrDataCheck)});
  EXPECT_EQ(fs::file_size("out/bomba.txt"), 10u);
  EXPECT_EQ(ReadFile("out/ok.txt"), "ok");
}

TEST_F(Hostile, AnEntryLargerThanTheFreeSpaceIsRefusedBeforeWriting) {
  io_.fake_space = [](struct statvfs* st) {
    st->f_bavail = 2;
    st->f_frsize = 4096;
  };
  WriteFile("recibo.zip", BuildArchive({DeflatedEntry("grande.daw", std::string(100000, 'g')),
                                        StoredEntry("chico.daw", "c")}));
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_EQ(failed_, Lines{Failed("grande.daw", kErrDiskSpace)});
  EXPECT_EQ(FilesWritten(), Lines{"out/chico.daw"});
}

TEST_F(Hostile, ADirectoryThatCannotBeMadeFailsItsEntriesOnly) {
  io_.refuse_mkdir = "sub";
  WriteFile("recibo.zip", BuildArchive({StoredEntry("sub/a", "a"), StoredEntry("b", "b")}));
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_EQ(failed_, Lines{Failed("sub/a", kErrCreateDirectory)});
  EXPECT_EQ(FilesWritten(), Lines{"out/b"});
}

// One defect per archive, each with its own answer: the error that stops the opening, or
// the error of the one entry that is broken (its neighbour "ok" must still come out).
struct Defect {
  const char* what;
  std::function<std::string()> make;
  bool tolerate;
  int open_error;   // 0: the archive opens
  int entry_error;  // 0: no entry fails; else entry "a" fails with it
};

std::string TwoEntries(RawEntry first) {
  return BuildArchive({std::move(first), StoredEntry("ok", "ok")});
}

void Patch16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
void Patch32(std::string& s, size_t at, uint32_t v) {
  Patch16(s, at, v & 0xFFFF);
  Patch16(s, at + 2, static_cast<uint16_t>(v >> 16));
}
size_t EndAt(const std::string& s) {
  return s.size() - 22;
}
size_t CentralAt(const std::string& s) {
  return testing::U32(s, EndAt(s) + 16);
}

const Defect kDefects[] = {
    {"entry count above what the directory holds",
     [] {
       std::string s = TwoEntries(StoredEntry("a", "a"));
       Patch16(s, EndAt(s) + 8, 5);
       Patch16(s, EndAt(s) + 10, 5);
       return s;
     },
     false, kErrOpenArchive, 0},
    {"directory size beyond the start of the file",
     [] {
       std::string s = TwoEntries(StoredEntry("a", "a"));
       Patch32(s, EndAt(s) + 12, 0x7FFFFFFF);
       return s;
     },
     false, kErrDamaged, 0},
    {"name length running past the directory",
     [] {
       std::string s = TwoEntries(StoredEntry("a", "a"));
       Patch16(s, CentralAt(s) + 28, 0xFFFF);
       return s;
     },
     false, kErrOpenArchive, 0},
    {"comment length that is not there",
     [] {
       std::string s = TwoEntries(StoredEntry("a", "a"));
       Patch16(s, EndAt(s) + 20, 5);
       return s;
     },
     false, kErrDamaged, 0},
    {"comment length lie, rebuilt from local headers",
     [] {
       std::string s = TwoEntries(StoredEntry("a", "a"));
       Patch16(s, EndAt(s) + 20, 5);
       return s;
     },
     true, 0, 0},
    {"two entries over the same bytes",
     [] {
       std::string s = TwoEntries(DeflatedEntry("a", std::string(5000, 'a')));
       Patch32(s, CentralAt(s) + 46 + 1 + 42, 0);  // "ok" points at "a"
       return s;
     },
     false, kErrOpenArchive, 0},
    {"local header offset inside the directory",
     [] {
       std::string s = TwoEntries(StoredEntry("a", "a"));
       Patch32(s, CentralAt(s) + 42, static_cast<uint32_t>(CentralAt(s) + 10));
       return s;
     },
     false, kErrOpenArchive, 0},
    {"Zip64 locator pointing at something else",
     [] {
       std::string s = TwoEntries(StoredEntry("a", "a"));
       std::string locator("PK\x06\x07", 4);
       locator += std::string(16, '\0');
       return s.substr(0, EndAt(s)) + locator + s.substr(EndAt(s));
     },
     false, kErrNoZip64End, 0},
    {"local header signature destroyed",
     [] {
       std::string s = TwoEntries(StoredEntry("a", "a"));
       s[0] = 'X';
       return s;
     },
     false, 0, kErrInvalidArchive},
    {"unsupported compression method",
     [] {
       RawEntry e = StoredEntry("a", "a");
       e.method = 12;
       return TwoEntries(e);
     },
     false, 0, kErrDataCheck},
    {"encrypted entry",
     [] {
       RawEntry e = StoredEntry("a", "a");
       e.flags = 1;
       return TwoEntries(e);
     },
     false, 0, kErrDataCheck},
    {"deflate data cut short",
     [] {
       RawEntry e = DeflatedEntry("a", testing::TableLikeBytes(20000, 4));
       e.data.resize(e.data.size() / 2);
       return TwoEntries(e);
     },
     false, 0, kErrDataCheck},
    {"deflate data that is noise",
     [] {
       RawEntry e = DeflatedEntry("a", "texto");
       e.data = std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
       return TwoEntries(e);
     },
     false, 0, kErrDataCheck},
};

class BrokenArchive : public Hostile, public ::testing::WithParamInterface<Defect> {};

TEST_P(BrokenArchive, GivesItsOwnErrorAndNothingElse) {
  const Defect& d = GetParam();
  WriteFile("recibo.zip", d.make());
  EXPECT_EQ(ExtractAll(d.tolerate), d.open_error) << d.what;
  if (d.open_error != 0) {
    EXPECT_EQ(FilesWritten(), Lines{}) << d.what;
    return;
  }
  EXPECT_EQ(failed_, d.entry_error != 0 ? Lines{Failed("a", d.entry_error)} : Lines{}) << d.what;
  EXPECT_EQ(ReadFile("out/ok"), "ok") << d.what;
}

INSTANTIATE_TEST_SUITE_P(Corpus, BrokenArchive, ::testing::ValuesIn(kDefects));

}  // namespace
}  // namespace marvolen
