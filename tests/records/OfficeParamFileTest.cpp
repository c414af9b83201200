#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "records/OfficeParamFile.h"
#include "tests/ScratchDir.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Expected bytes are built here from the file's layout, not through the code under test: a
// record is four little-endian bytes, and a text slot with an index below 60 is its index
// record followed by the 16 characters, each XORed with index + 0x3A.
std::string Le(uint32_t v) {
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
std::string Slot(const std::string& text16, uint8_t index) {
  std::string out = Le(index);
  for (char c : text16) out += static_cast<char>(c ^ (index + 0x3A));
  return out;
}
std::string Padded(const std::string& ascii) {
  return ascii + std::string(16 - ascii.size(), ' ');
}
const std::string kBlanks = Padded("");

// A new file made at second 17 of the minute.
std::string NewFile() {
  std::string f = Slot(Padded("GALERNA"), 17) + std::string(24, '\0') + Le(1) + Le(1) +
                  std::string(20, '\0') + Le(1);
  for (int i = 0; i < 3; ++i) f += Slot(kBlanks, 17);
  return f + std::string(4004 - f.size(), '\0');
}

// Says where two files part instead of printing thousands of bytes.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                       << ", first difference in record " << at / 4;
}

// The real calls, but for one chosen call that fails once, optionally after letting a first
// part of a write through.
class FaultyFs : public FileOps {
 public:
  std::string fail;
  int error = ENOSPC;
  size_t partial = 0;
  std::function<void()> before_rename;

  FaultyFs() : FileOps(SystemFileOps()) {
    const FileOps& sys = SystemFileOps();
    pwrite = [this, &sys](int fd, const void* b, size_t n, off_t o) -> ssize_t {
      if (fail == "PWrite" && partial > 0)
        n = std::min(std::exchange(partial, 0), n);
      else if (Trip("PWrite"))
        return -1;
      return sys.pwrite(fd, b, n, o);
    };
    open = [this, &sys](const char* path, int flags, mode_t mode) {
      const int fd = sys.open(path, flags, mode);
      if (fd >= 0 && (flags & O_DIRECTORY) != 0) dir_fd_ = fd;
      return fd;
    };
    fsync = [this, &sys](int fd) {
      if (fd == dir_fd_ && Trip("FSync of the directory")) return -1;
      return Trip("FSync") ? -1 : sys.fsync(fd);
    };
    // The file's close, not that of a directory looked through for stale temporary files
    // (whose number the file may get next).
    close = [this, &sys](int fd) {
      if (fd == dir_fd_) {
        dir_fd_ = -1;
        return sys.close(fd);
      }
      return sys.close(fd) || Trip("Close") ? -1 : 0;
    };
    renameat_noreplace = [this, &sys](int dir, const char* from, const char* to) {
      if (before_rename) before_rename();
      return Trip("RenameNoReplace") ? -1 : sys.renameat_noreplace(dir, from, to);
    };
  }
  FaultyFs(const FaultyFs&) = delete;
  FaultyFs& operator=(const FaultyFs&) = delete;

 private:
  int dir_fd_ = -1;
  bool Trip(std::string_view call) {
    if (fail != call) return false;
    fail.clear();
    errno = error;
    return true;
  }
};

class OfficeParamFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    dir_ = scratch::NewScratchDir("office");
  }
  void TearDown() override { fs::remove_all(dir_); }

  OfficeParamFile Params(const FileOps* fs = nullptr) { return {dir_, clock_, fs}; }
  fs::path File() const { return dir_ / "MARVOLEN.TCP"; }
  static std::string Bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static void Put(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }
  // The error's text; its code is left in `code_`.
  std::string ErrorOf(const std::function<void()>& operation) {
    code_.clear();
    try {
      operation();
    } catch (const OfficeParamError& e) {
      code_ = e.code();
      return e.what();
    }
    return "no error";
  }

  fs::path dir_;
  VirtualClock clock_{VirtualClock::DefaultStart() + 17s};
  std::error_code code_;
};

TEST_F(OfficeParamFileTest, FirstUseCreatesTheDefaultFile) {
  EXPECT_EQ(Params().ReadOfficeParam("password"), Padded("GALERNA"));
  EXPECT_TRUE(SameBytes(Bytes(File()), NewFile()));
  EXPECT_EQ(Entries(), std::vector<std::string>{"MARVOLEN.TCP"});  // no temporary file left
  EXPECT_EQ(Params().ReadOfficeParam("Check_Id"), "1");
  EXPECT_EQ(Params().ReadOfficeParam("RootId"), kBlanks);
}

TEST_F(OfficeParamFileTest, EveryKeyWritesItsOwnRecordsAndReadsBack) {
  const struct {
    const char* key;
    int record;
    std::string value;
    bool text;
  } rows[] = {{"password", 0, "clave", true},
              {"inicio *.daw", 5, "46363", false},
              {"ultimo *.daw", 6, "-5", false},
              {"numero ultimo resumen", 11, "2147483647", false},
              {"numero ultimo registro *.trf", 12, "-2147483648", false},
              {"M_intDecimal", 13, "13", false},
              {"UpGrade", 16, "16", false},
              {"Synchronize", 17, "17", false},
              {"Check_Id", 18, "0", false},
              {"Id", 19, "MODEM-0042", true},
              {"RootId_R", 24, "R", true},
              {"RootId", 29, "0123456789abcdef", true},
              {"Reintentos", 36, "3", false},
              {"PeriodoReintentos", 37, "600", false}};
  std::string expected = NewFile();
  for (const auto& row : rows) {
    ASSERT_TRUE(Params().WriteOfficeParam(row.key, row.value));
    const std::string stored =
        row.text ? Slot(Padded(row.value), 17) : Le(static_cast<uint32_t>(std::stoll(row.value)));
    expected.replace(row.record * 4, stored.size(), stored);
    EXPECT_EQ(Params().ReadOfficeParam(row.key), row.text ? Padded(row.value) : row.value);
  }
  EXPECT_TRUE(SameBytes(Bytes(File()), expected));  // records 40 to 1000 still 0
  EXPECT_TRUE(Params().WriteOfficeParam("Reintentos", "tres"));
  EXPECT_EQ(Params().ReadOfficeParam("Reintentos"), "0");
}

TEST_F(OfficeParamFileTest, TextValuesAreCutOrPaddedToSixteenWindows1252Characters) {
  const struct {
    std::string value, stored, read;  // stored: the 16 characters in Windows-1252
  } rows[] = {
      {"", kBlanks, kBlanks},
      {"ABCDEFGH        ", "ABCDEFGH        ", "ABCDEFGH        "},
      {"ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
      // Cut by characters, not by UTF-8 bytes: ñ is two bytes in UTF-8, one on disk.
      {"12345678901234\xC3\xB1\xC3\xB1\xC3\xB1", "12345678901234\xF1\xF1",
       "12345678901234\xC3\xB1\xC3\xB1"},
      {"Pe\xC3\xB1\xC3\xB3n \xE2\x82\xAC", "Pe\xF1\xF3n \x80" + std::string(9, ' '),
       "Pe\xC3\xB1\xC3\xB3n \xE2\x82\xAC" + std::string(9, ' ')},
      {"\xE6\x97\xA5", Padded("?"), Padded("?")},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(Params().WriteOfficeParam("Id", row.value));
    EXPECT_EQ(Bytes(File()).substr(19 * 4, 20), Slot(row.stored, 17)) << row.value;
    EXPECT_EQ(Params().ReadOfficeParam("Id"), row.read) << row.value;
  }
}

TEST_F(OfficeParamFileTest, AnySlotAnOfficeLeftReadsAndWritesBackUnchanged) {
  std::string file = NewFile();
  file.replace(19 * 4, 20,
               Slot(std::string("\x81\x00\xFF\n\x8D\x9D\x90\x8F"
                                "abcdefgh",
                                16),
                    17));
  Put(File(), file);
  const std::optional<std::string> read = Params().ReadOfficeParam("Id");
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->substr(0, 5), std::string("\xC2\x81\x00\xC3\xBF", 5));
  ASSERT_TRUE(Params().WriteOfficeParam("Id", *read));
  EXPECT_TRUE(SameBytes(Bytes(File()), file));
}

TEST_F(OfficeParamFileTest, EachTextWriteTakesAFreshIndexAndReadersUseTheStoredOne) {
  Params().WriteOfficeParam("Id", "ABC");
  clock_.Advance(25s);
  Params().WriteOfficeParam("Id", "ABC");
  EXPECT_EQ(Bytes(File()).substr(19 * 4, 20), Slot(Padded("ABC"), 42));
  EXPECT_EQ(Bytes(File()).substr(0, 20), Slot(Padded("GALERNA"), 17));  // its own index
  EXPECT_EQ(Params().ReadOfficeParam("Id"), Padded("ABC"));

  // Another program's index 200: (200 + 0x3A) * 0x01010101 keeps 0x03030302 in 32 bits.
  std::string file = Bytes(File());
  const uint32_t m = 0x03030302;
  file.replace(
      24 * 4, 20,
      Le(200) + Le(0x44434241 ^ m) + Le(0x20202020 ^ m) + Le(0x20202020 ^ m) + Le(0x5A202020 ^ m));
  Put(File(), file);
  EXPECT_EQ(Params().ReadOfficeParam("RootId_R"), "ABCD           Z");
}

TEST_F(OfficeParamFileTest, KeysMatchExactlyAndOthersSelectNothing) {
  for (const char* key : {"Password", "PASSWORD", "id", "password ", "inicio", ""}) {
    EXPECT_EQ(Params().ReadOfficeParam(key), std::nullopt) << key;
    EXPECT_FALSE(Params().WriteOfficeParam(key, "7")) << key;
    EXPECT_TRUE(SameBytes(Bytes(File()), NewFile())) << key;  // created all the same
  }
}

TEST_F(OfficeParamFileTest, AnExistingFileIsUsedAsItIs) {
  // Found whatever the case of its name; longer than a new file: never truncated.
  const fs::path lower = dir_ / "marvolen.tcp";
  Put(lower, NewFile() + "trailing bytes");
  ASSERT_TRUE(Params().WriteOfficeParam("Reintentos", "9"));
  EXPECT_EQ(Bytes(lower).substr(36 * 4, 4), Le(9));
  EXPECT_EQ(Bytes(lower).substr(4004), "trailing bytes");
  EXPECT_EQ(Entries(), std::vector<std::string>{"marvolen.tcp"});

  // Shorter than a slot: reading it fails, writing it makes the file grow.
  Put(lower, NewFile().substr(0, 100));
  EXPECT_EQ(Params().ReadOfficeParam("password"), Padded("GALERNA"));
  EXPECT_EQ(ErrorOf([&] { Params().ReadOfficeParam("RootId"); }),
            "No se puede leer \"RootId\" (registros 29 a 33) del archivo de parámetros de la "
            "oficina \"" +
                lower.string() + "\": el archivo tiene solo 100 bytes");
  EXPECT_EQ(code_, StationRefusal::kParamFileTooShort);  // the file's fault, not the system's
  ASSERT_TRUE(Params().WriteOfficeParam("Reintentos", "-1"));
  EXPECT_TRUE(SameBytes(Bytes(lower), NewFile().substr(0, 100) + std::string(44, '\0') + Le(~0u)));
}

TEST_F(OfficeParamFileTest, AMissingDirectoryOrUnusableFileIsAnErrorNamingIt) {
  const fs::path missing = dir_ / "loc07";
  EXPECT_EQ(ErrorOf([&] { OfficeParamFile(missing, clock_).ReadOfficeParam("Id"); }),
            "No se puede crear el archivo de parámetros de la oficina \"" +
                (missing / "MARVOLEN.TCP").string() + "\": el directorio de la oficina no existe");
  EXPECT_EQ(code_, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(fs::exists(missing));
  fs::create_directory(File());
  EXPECT_EQ(ErrorOf([&] { Params().WriteOfficeParam("Id", "x"); }),
            "No se puede abrir el archivo de parámetros de la oficina \"" + File().string() +
                "\": Is a directory");
  EXPECT_EQ(code_, std::errc::is_a_directory);
}

// An office held open is worked in alone: its name swapped for a link meanwhile (as whoever
// owns the working directory can do while root runs a tool on it) sends nothing elsewhere.
TEST_F(OfficeParamFileTest, AnOfficeHeldOpenIsWorkedInWhateverItsNameBecomes) {
  const fs::path office = dir_ / "loc11", moved = dir_ / "moved", elsewhere = dir_ / "elsewhere";
  fs::create_directory(office);
  fs::create_directory(elsewhere);
  const Dir held = OfficeParamFile::OpenOffice(office, Dir::Links::kRefuse);
  fs::rename(office, moved);
  fs::create_directory_symlink(elsewhere, office);
  ASSERT_TRUE(OfficeParamFile(held).WriteOfficeParam("Reintentos", "4"));
  EXPECT_EQ(OfficeParamFile(moved, clock_).ReadOfficeParam("Reintentos"), "4");
  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_EQ(ErrorOf([&] { OfficeParamFile::OpenOffice(office, Dir::Links::kRefuse); }),
            "No se puede crear el archivo de parámetros de la oficina \"" +
                (office / "MARVOLEN.TCP").string() +
                "\": el directorio de la oficina es un enlace simbólico");
}

TEST_F(OfficeParamFileTest, AFailedCreationLeavesNoFileBehind) {
  const std::pair<const char*, size_t> rows[] = {
      {"PWrite", 0}, {"PWrite", 1000}, {"FSync", 0}, {"Close", 0}, {"RenameNoReplace", 0}};
  for (const auto& [call, partial] : rows) {
    FaultyFs faulty;
    faulty.fail = call;
    faulty.partial = partial;
    EXPECT_NE(ErrorOf([&] {
                Params(&faulty).ReadOfficeParam("password");
              }).find("No se puede crear el archivo de parámetros de la oficina"),
              std::string::npos);
    EXPECT_TRUE(Entries().empty()) << call;
  }
}

// The new file's name must be on the disk before a value is stored in it: a directory that
// cannot be synced fails the operation that needed the file.
TEST_F(OfficeParamFileTest, ACreationWhoseDirectoryCannotBeSyncedFails) {
  FaultyFs faulty;
  faulty.fail = "FSync of the directory";
  faulty.error = EIO;
  EXPECT_NE(ErrorOf([&] {
              Params(&faulty).WriteOfficeParam("inicio *.daw", "46000");
            }).find("No se puede crear el archivo de parámetros de la oficina"),
            std::string::npos);
  EXPECT_EQ(faulty.fail, "");
}

// A creation killed half-way leaves its temporary file; the next write or creation in the
// directory removes it.
TEST_F(OfficeParamFileTest, TheLitterOfAKilledCreationIsRemoved) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  const std::string litter = ".MARVOLEN.TCP." + std::to_string(child) + ".0.tmp";
  Put(dir_ / litter, std::string(100, '\0'));
  Params().ReadOfficeParam("password");
  EXPECT_EQ(Entries(), std::vector<std::string>{"MARVOLEN.TCP"});
  Put(dir_ / litter, std::string(100, '\0'));
  Params().WriteOfficeParam("Reintentos", "3");
  EXPECT_EQ(Entries(), std::vector<std::string>{"MARVOLEN.TCP"});
}

TEST_F(OfficeParamFileTest, CreationNeverReplacesAFileThatAppearedMeanwhile) {
  std::string theirs = NewFile();
  theirs.replace(36 * 4, 4, Le(5));
  FaultyFs faulty;
  faulty.before_rename = [&] { Put(File(), theirs); };
  EXPECT_EQ(Params(&faulty).ReadOfficeParam("Reintentos"), "5");
  EXPECT_TRUE(SameBytes(Bytes(File()), theirs));
  EXPECT_EQ(Entries(), std::vector<std::string>{"MARVOLEN.TCP"});
}

TEST_F(OfficeParamFileTest, AFailedWriteLeavesTheFileAsItWas) {
  // The part let through reaches bytes the write changes before the disk fills up.
  const struct {
    std::string before;
    const char* key;
    const char* call;
    size_t partial;
    const char* where;
  } rows[] = {{NewFile(), "Id", "PWrite", 7, "registros 19 a 23"},
              {NewFile().substr(0, 100), "Reintentos", "PWrite", 2, "registro 36"},
              {NewFile(), "Reintentos", "FSync", 0, "registro 36"}};
  for (const auto& [before, key, call, partial, where] : rows) {
    Put(File(), before);
    FaultyFs faulty;
    faulty.fail = call;
    faulty.partial = partial;
    const std::string error = ErrorOf([&] { Params(&faulty).WriteOfficeParam(key, "12345678"); });
    EXPECT_EQ(error, "No se puede escribir \"" + std::string(key) + "\" (" + where +
                         ") en el archivo de parámetros de la oficina \"" + File().string() +
                         "\": No space left on device");
    EXPECT_TRUE(SameBytes(Bytes(File()), before)) << key;
  }
}

}  // namespace
}  // namespace marvolen
