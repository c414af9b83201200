#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/DosTime.h"
#include "zip/ZipArchiver.h"

using namespace std::string_literals;
namespace marvolen {
namespace {

namespace fs = std::filesystem;
using testing::BuildArchive;
using testing::DeflatedEntry;
using testing::ReadFile;
using testing::StoredEntry;
using testing::WriteFile;

class Reader : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    zip_.SetFileName("recibo.zip");
    zip_.OnProcessFileFailure = [this](TBaseArchiver&, const std::string& file_name,
                                       TArchiveOperation operation, int native, int,
                                       const std::string& message, TArchiveAction&) {
      EXPECT_EQ(operation, aoExtract);
      lines_.push_back(FailureLogLine(file_name, message));
      natives_.push_back(native);
    };
  }
  // The receiver's loop: shorten by one byte while the archive is not valid.
  size_t TrimUntilValid(size_t limit) {
    size_t removed = 0;
    while (!zip_.IsZipValid() && removed < limit) {
      fs::resize_file("recibo.zip", fs::file_size("recibo.zip") - 1);
      ++removed;
    }
    return removed;
  }
  void Extract(const std::string& base = "") {
    zip_.OpenZip(kOpenRead);
    zip_.SetBaseDir(base);
    zip_.ExtractMatching("*.*", kStationAttrMask, "");
    zip_.CloseZip();
  }
  TZipArchiver zip_;
  std::vector<std::string> lines_;
  std::vector<int> natives_;
};

TEST_F(Reader, PaddingIsTrimmedToTheExactEndOfTheArchive) {
  const std::string archive = BuildArchive({DeflatedEntry("TRAFICO.TRF", "llamadas")});
  for (const char pad : {'\0', '\x1A'}) {
    WriteFile("recibo.zip", archive + std::string(127, pad));
    EXPECT_EQ(TrimUntilValid(1024), 127u);
    EXPECT_EQ(ReadFile("recibo.zip"), archive);
  }
}

TEST_F(Reader, AnArchiveCommentEndingInPaddingBytesIsValidOnlyAtItsEnd) {
  const std::string archive = BuildArchive({StoredEntry("a", "x")}, "fin\x1A\x1A\0"s);
  WriteFile("recibo.zip", archive + std::string(100, '\x1A'));
  EXPECT_EQ(TrimUntilValid(1024), 100u);
  zip_.OpenZip(kOpenRead);
  EXPECT_EQ(zip_.ArchiveComment(), "fin\x1A\x1A\0"s);
}

TEST_F(Reader, AFalseEndRecordInsideTheCommentIsPassedOver) {
  // The comment ends in an end record whose comment length reaches 40 bytes past the real
  // end: it would count while 40 padding bytes remain, and describes one entry that is not
  // there.
  std::string fake = BuildArchive({});
  fake[20] = 40;
  fake[10] = 1;
  fake[12] = 46;
  const std::string archive =
      BuildArchive({StoredEntry("dia.daw", "datos")}, std::string(30, 'c') + fake);
  WriteFile("recibo.zip", archive + std::string(128, '\0'));
  EXPECT_EQ(TrimUntilValid(1024), 128u);
  Extract();
  EXPECT_EQ(ReadFile("dia.daw"), "datos");
}

// The one-pass search the receiver uses gives what the loop above gives on the file: the
// longest prefix, at most 127 bytes shorter, that the archive check takes, or none.
TEST_F(Reader, TheOnePassEndSearchAgreesWithTrimmingTheFile) {
  const std::string plain = BuildArchive({DeflatedEntry("TRAFICO.TRF", "llamadas")});
  const std::string empty = BuildArchive({});
  const std::string padded_comment = BuildArchive({StoredEntry("a", "x")}, "fin\x1A\x1A\0"s);
  std::string fake = empty;  // an end record whose comment reaches 40 bytes past the real end
  fake[20] = 40;
  fake[10] = 1;
  fake[12] = 46;
  const std::string false_record =
      BuildArchive({StoredEntry("dia.daw", "datos")}, std::string(30, 'c') + fake);
  const std::string long_comment = BuildArchive({StoredEntry("a", "x")}, std::string(65535, 'c'));
  // Padding that holds an empty end record of its own: a longer archive the check takes.
  const std::string record_in_padding = plain + empty + std::string(50, '\x1A');
  std::string noise(70000, '\0');
  std::mt19937 gen(5);
  for (char& c : noise) c = static_cast<char>(gen());
  struct Row {
    std::string name;
    std::string bytes;
  };
  std::vector<Row> rows = {
      {"nothing", ""},
      {"a bare signature", "PK\x05\x06"},
      {"no archive", noise},
      {"record in the padding", record_in_padding},
      {"two archives, the last padded", plain + padded_comment + std::string(9, '\0')},
      {"the longest comment, padded", long_comment + std::string(127, '\x1A')},
  };
  for (const std::size_t pad : {0, 1, 36, 100, 127, 128}) {
    for (const char byte : {'\0', '\x1A'}) {
      const std::string tail(pad, byte);
      const std::string at = " +" + std::to_string(pad) + (byte ? " SUB" : " NUL");
      rows.push_back({"plain" + at, plain + tail});
      rows.push_back({"empty" + at, empty + tail});
      rows.push_back({"comment ending in padding bytes" + at, padded_comment + tail});
      rows.push_back({"false record in the comment" + at, false_record + tail});
    }
  }
  int found = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile("recibo.zip", row.bytes);
    std::size_t removed = 0;
    bool valid = zip_.IsZipValid();
    for (; !valid && removed < 127 && removed < row.bytes.size(); valid = zip_.IsZipValid()) {
      fs::resize_file("recibo.zip", row.bytes.size() - ++removed);
    }
    const std::optional<std::size_t> expected =
        valid ? std::optional<std::size_t>(row.bytes.size() - removed) : std::nullopt;
    EXPECT_EQ(ArchiveLengthWithin(row.bytes, 127), expected);
    found += expected.has_value();
  }
  // Both answers are asked for: every padding up to 127 bytes is cut, 128 never.
  EXPECT_EQ(found, 3 + 4 * 2 * 5);
}

TEST_F(Reader, ValidityTestNeverThrowsNorHangs) {
  EXPECT_FALSE(zip_.IsZipValid());  // missing
  fs::create_directory("recibo.zip");
  EXPECT_FALSE(zip_.IsZipValid());  // a directory
  fs::remove("recibo.zip");
  ASSERT_EQ(::mkfifo("recibo.zip", 0644), 0);
  EXPECT_FALSE(zip_.IsZipValid());  // a pipe with no writer
  try {
    zip_.OpenZip(kOpenRead);
    FAIL() << "a pipe opened as an archive";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.NativeError(), kErrOpenArchiveFile);
  }
  fs::remove("recibo.zip");
  WriteFile("recibo.zip", "PK\x05\x06 too short");
  EXPECT_FALSE(zip_.IsZipValid());
  // The longest comment still leaves the end record within reach.
  WriteFile("recibo.zip", BuildArchive({StoredEntry("a", "x")}, std::string(65535, 'c')));
  EXPECT_TRUE(zip_.IsZipValid());
}

TEST_F(Reader, WithoutAnEndRecordOpeningFailsOrRebuildsFromLocalHeaders) {
  const std::string archive =
      BuildArchive({DeflatedEntry("a.txt", "primero"), StoredEntry("b.txt", "segundo")});
  WriteFile("recibo.zip", archive.substr(0, archive.size() - 30));  // end record cut off
  zip_.SetTolerateDamage(false);
  try {
    zip_.OpenZip(kOpenRead);
    FAIL() << "a damaged archive opened";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.NativeError(), kErrDamaged);
  }
  zip_.SetTolerateDamage(true);
  Extract();
  EXPECT_EQ(ReadFile("a.txt"), "primero");
  EXPECT_EQ(ReadFile("b.txt"), "segundo");
  WriteFile("recibo.zip", std::string(300, 'x'));
  try {
    zip_.OpenZip(kOpenRead);
    FAIL() << "garbage opened";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(e.NativeError(), kErrInvalidArchive);
  }
}

// Sixteen entries, and the offset of the eighth one's local header.
std::string SixteenEntries(size_t& eighth) {
  std::vector<testing::RawEntry> entries;
  eighth = 0;
  for (int i = 1; i <= 16; ++i) {
    const std::string name = "e" + std::to_string(100 + i) + ".txt";
    entries.push_back(DeflatedEntry(name, testing::TableLikeBytes(3000, i)));
    if (i < 8) eighth += 30 + name.size() + entries.back().data.size();
  }
  return BuildArchive(entries);
}

TEST_F(Reader, AnEntryTheFileEndsInsideIsReportedAndLeavesItsTargetAlone) {
  size_t eighth = 0;
  const std::string archive = SixteenEntries(eighth);
  // Cut inside the eighth entry's header, inside its name, inside its data.
  for (const size_t cut : {eighth + 20, eighth + 32, eighth + 30 + 8 + 700}) {
    SCOPED_TRACE(cut);
    lines_.clear();
    natives_.clear();
    WriteFile("e108.txt", "anterior");
    fs::remove("e107.txt");
    WriteFile("recibo.zip", archive.substr(0, cut));
    Extract();
    ASSERT_EQ(natives_, std::vector<int>{kErrDataCheck});
    if (cut > eighth + 30 + 8) {
      EXPECT_EQ(lines_[0],
                "ERROR de descompresión:e108.txt - Zipper1: Invalid size or check sum of file or "
                "unsupported compression format - Native error: 00008");
    }
    EXPECT_EQ(ReadFile("e107.txt"), testing::TableLikeBytes(3000, 7));
    EXPECT_EQ(ReadFile("e108.txt"), "anterior");
  }
  // Testing the archive finds the same entry.
  TZipArchiver tester;
  int failed = 0;
  tester.OnProcessFileFailure = [&](TBaseArchiver&, const std::string& name, TArchiveOperation,
                                    int native, int, const std::string&, TArchiveAction&) {
    EXPECT_EQ(name, "e108.txt");
    EXPECT_EQ(native, kErrDataCheck);
    ++failed;
  };
  tester.SetFileName("recibo.zip");
  tester.OpenZip(kOpenRead);
  EXPECT_EQ(tester.Count(), 8u);
  tester.TestMatching();
  EXPECT_EQ(failed, 1);
}

TEST_F(Reader, NamesMakeDirectoriesAndDirectoryEntriesMakeNoFile) {
  testing::RawEntry dir = StoredEntry("vacio/", "");
  dir.attributes = 0x10;
  WriteFile("recibo.zip", BuildArchive({StoredEntry("sub/dir/x.trf", "x"),
                                        StoredEntry("otro\\y.trf", "y"), dir}));
  Extract();
  EXPECT_EQ(ReadFile("sub/dir/x.trf"), "x");
  EXPECT_EQ(ReadFile("otro/y.trf"), "y");
  EXPECT_TRUE(fs::is_directory("vacio"));
  EXPECT_TRUE(fs::is_empty("vacio"));
  EXPECT_TRUE(lines_.empty());
}

TEST_F(Reader, AReadOnlyTargetIsReplacedAndTakesTheEntrysAttributesAndDate) {
  WriteFile("param.tcp", "viejo");
  ::chmod("param.tcp", 0444);
  testing::RawEntry e = StoredEntry("param.tcp", "nuevo");
  e.attributes = 0x21;
  WriteFile("recibo.zip", BuildArchive({e}));
  Extract();
  EXPECT_EQ(ReadFile("param.tcp"), "nuevo");
  struct stat st {};
  ASSERT_EQ(::stat("param.tcp", &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(st.st_mtime, *FromDosDateTime(DosDateTime{0x5C87, 0}));
}

TEST_F(Reader, ACrcMismatchIsOneLineAndTheNextEntriesFollow) {
  testing::RawEntry bad = DeflatedEntry("malo.trf", "contenido");
  bad.crc ^= 1;
  WriteFile("recibo.zip", BuildArchive({bad, StoredEntry("bueno.trf", "ok")}));
  Extract();
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0],
            "ERROR de descompresión:malo.trf - Zipper1: Invalid size or check sum of file or "
            "unsupported compression format - Native error: 00008");
  EXPECT_EQ(ReadFile("malo.trf"), "contenido");  // the bytes produced stay
  EXPECT_EQ(ReadFile("bueno.trf"), "ok");
}

TEST_F(Reader, AnExplicitBaseDirectoryLeavesTheCurrentOneAlone) {
  WriteFile("recibo.zip", BuildArchive({StoredEntry("d/a.daw", "a")}));
  Extract((dir_ / "loc07").string());
  EXPECT_EQ(ReadFile("loc07/d/a.daw"), "a");
  EXPECT_EQ(fs::current_path(), dir_);
  EXPECT_FALSE(fs::exists("d"));
}

TEST_F(Reader, AnExistingFileInAnotherLetterCaseIsTheSameFile) {
  WriteFile("Sub/trafico.TRF", "viejo");
  WriteFile("recibo.zip", BuildArchive({StoredEntry("sub/TRAFICO.TRF", "nuevo")}));
  Extract();
  EXPECT_EQ(ReadFile("Sub/TRAFICO.TRF"), "nuevo");
  EXPECT_FALSE(fs::exists("Sub/trafico.TRF"));
  EXPECT_FALSE(fs::exists("sub"));
}

// Counts the directory listings and flushes of an extraction run.
struct CountingIo : FileOps {
  int listings = 0;
  int file_flushes = 0;
  int file_system_flushes = 0;
  CountingIo() : FileOps(SystemFileOps()) {
    const FileOps& sys = SystemFileOps();
    openat = [this, &sys](int dir_fd, const char* name, int flags, mode_t mode) {
      if (std::string(name) == ".") ++listings;
      return sys.openat(dir_fd, name, flags, mode);
    };
    fsync = [this, &sys](int fd) {
      ++file_flushes;
      return sys.fsync(fd);
    };
    syncfs = [this, &sys](int fd) {
      ++file_system_flushes;
      return sys.syncfs(fd);
    };
  }
  CountingIo(const CountingIo&) = delete;
  CountingIo& operator=(const CountingIo&) = delete;
};

TEST_F(Reader, EachDirectoryIsListedOnceAndLaterEntriesFindWhatTheRunMade) {
  std::vector<testing::RawEntry> entries;
  for (int i = 0; i < 30; ++i) {
    entries.push_back(StoredEntry("many/f" + std::to_string(100 + i) + ".txt", "primero"));
  }
  // Later entries in another letter case: the same directories and the same files.
  entries.push_back(StoredEntry("MANY/F107.TXT", "segundo"));
  entries.push_back(StoredEntry("many/f107.txt", "tercero"));
  entries.push_back(StoredEntry("Many/sub/x.txt", "x"));
  entries.push_back(StoredEntry("many/SUB/y.txt", "y"));
  WriteFile("recibo.zip", BuildArchive(entries));
  CountingIo io;
  TZipArchiver zip("Zipper1", nullptr, &io);
  zip.SetFileName("recibo.zip");
  zip.OpenZip(kOpenRead);
  zip.ExtractMatching("*.*", kStationAttrMask, "");
  zip.CloseZip();
  EXPECT_EQ(io.listings, 3);  // the base directory, many, many/sub
  EXPECT_EQ(ReadFile("many/f107.txt"), "tercero");
  EXPECT_EQ(ReadFile("many/sub/x.txt"), "x");
  EXPECT_EQ(ReadFile("many/sub/y.txt"), "y");
  EXPECT_EQ(ReadFile("many/f129.txt"), "primero");
  for (const char* other : {"many/F107.TXT", "MANY", "Many", "many/SUB"}) {
    EXPECT_FALSE(fs::exists(other)) << other;
  }
  // Every target reaches the disk, with one flush of the file system at the end of the run.
  EXPECT_EQ(io.file_flushes, 0);
  EXPECT_EQ(io.file_system_flushes, 1);
  zip.Options().FlushBuffers = false;
  zip.OpenZip(kOpenRead);
  zip.ExtractMatching("*.*", kStationAttrMask, "");
  EXPECT_EQ(io.file_system_flushes, 1);
}

TEST_F(Reader, OverwriteSettingsCanKeepExistingFiles) {
  WriteFile("a.txt", "viejo");
  WriteFile("b.txt", "viejo");
  ::chmod("b.txt", 0444);
  WriteFile("recibo.zip", BuildArchive({StoredEntry("a.txt", "nuevo"), StoredEntry("b.txt", "n")}));
  zip_.Options().ReplaceReadOnly = false;
  Extract();
  EXPECT_EQ(ReadFile("a.txt"), "nuevo");
  EXPECT_EQ(ReadFile("b.txt"), "viejo");
  zip_.Options().OverwriteMode = omNever;
  WriteFile("a.txt", "otro");
  Extract();
  EXPECT_EQ(ReadFile("a.txt"), "otro");
}

TEST_F(Reader, NamesInTheOemCodePageOrFlaggedUtf8) {
  testing::RawEntry utf8 = StoredEntry("año.daw", "u");
  utf8.flags = 0x0800;
  WriteFile("recibo.zip", BuildArchive({StoredEntry("\xA5"
                                                    "and\xA3.tbl",
                                                    "o"),
                                        utf8}));
  zip_.OpenZip(kOpenRead);
  EXPECT_EQ(zip_.Entry(0).StoredName, "Ñandú.tbl");
  EXPECT_EQ(zip_.Entry(1).StoredName, "año.daw");
  zip_.CloseZip();
  Extract();
  EXPECT_EQ(ReadFile("Ñandú.tbl"), "o");
}

TEST_F(Reader, SelectionByMaskAndAttributes) {
  testing::RawEntry hidden = StoredEntry("oculto.txt", "h");
  hidden.attributes = 0x22;
  WriteFile("recibo.zip",
            BuildArchive({StoredEntry("d/a.daw", "a"), StoredEntry("b.trf", "b"), hidden}));
  zip_.OpenZip(kOpenRead);
  zip_.ExtractMatching("*.daw", 0x21, "");
  EXPECT_TRUE(fs::exists("d/a.daw"));  // the last component matched
  EXPECT_FALSE(fs::exists("b.trf"));
  zip_.ExtractMatching("*.*", 0x21, "b.*");
  EXPECT_FALSE(fs::exists("b.trf"));       // excluded
  EXPECT_FALSE(fs::exists("oculto.txt"));  // hidden bit not in the mask
  zip_.ExtractMatching("*.*", kStationAttrMask, "");
  EXPECT_TRUE(fs::exists("oculto.txt"));
}

}  // namespace
}  // namespace marvolen
