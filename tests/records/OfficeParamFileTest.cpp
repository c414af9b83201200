#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "records/OfficeParamFile.h"
#include "records/ParamFileSystem.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The expected bytes are written out here from the file's layout, not through the code under
// test: a record is four little-endian bytes, and a text slot with an index below 60 is its
// index record followed by the 16 characters, each XORed with index + 0x3A.
std::string Le(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
std::string Slot(std::string text16, uint8_t index) {
  std::string out = Le(index);
  for (char c : text16) out += static_cast<char>(c ^ (index + 0x3A));
  return out;
}
std::string Blanks(size_t n) {
  return std::string(n, ' ');
}
std::string Padded(std::string ascii) {
  return ascii + Blanks(16 - ascii.size());
}

// Fails one chosen call once, optionally after letting a first part of a write through.
class FaultyFs : public ParamFileSystem {
 public:
  std::string fail;
  int error = EIO;
  size_t partial = 0;
  std::function<void()> before_rename;

  ssize_t PRead(int fd, void* b, size_t n, off_t o) override {
    return Trip("PRead") ? -1 : ParamFileSystem::PRead(fd, b, n, o);
  }
  ssize_t PWrite(int fd, const void* b, size_t n, off_t o) override {
    if (fail == "PWrite" && partial > 0) {
      return ParamFileSystem::PWrite(fd, b, std::min(std::exchange(partial, 0), n), o);
    }
    return Trip("PWrite") ? -1 : ParamFileSystem::PWrite(fd, b, n, o);
  }
  int FSync(int fd) override { return Trip("FSync") ? -1 : ParamFileSystem::FSync(fd); }
  int Close(int fd) override {
    const int rc = ParamFileSystem::Close(fd);
    return Trip("Close") ? -1 : rc;
  }
  int RenameNoReplace(const std::string& from, const std::string& to) override {
    if (before_rename) before_rename();
    return Trip("RenameNoReplace") ? -1 : ParamFileSystem::RenameNoReplace(from, to);
  }

 private:
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
    std::string tmpl = ::testing::TempDir() + "/officeXXXXXX";
    dir_ = ::mkdtemp(tmpl.data());
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path File() const { return dir_ / "MARVOLEN.TCP"; }
  std::string Bytes(const fs::path& p) const {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void Put(const fs::path& p, const std::string& bytes) const {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }
  // A new file made at second 17 of the minute.
  std::string NewFile() const {
    std::string f = Slot(Padded("GALERNA"), 17) + std::string(24, '\0') + Le(1) + Le(1) +
                    std::string(20, '\0') + Le(1);
    for (int i = 0; i < 3; ++i) f += Slot(Blanks(16), 17);
    return f + std::string(4004 - f.size(), '\0');
  }

  fs::path dir_;
  VirtualClock clock_{VirtualClock::DefaultStart() + 17s};
  OfficeParamFile Params(ParamFileSystem* fs = nullptr) {
    return OfficeParamFile(dir_, clock_, fs);
  }
};

TEST_F(OfficeParamFileTest, FirstUseCreatesTheDefaultFileAtomically) {
  EXPECT_EQ(Params().ReadOfficeParam("password"), "GALERNA" + Blanks(9));
  EXPECT_EQ(Bytes(File()), NewFile());
  EXPECT_EQ(Entries(), std::vector<std::string>{"MARVOLEN.TCP"});
  const std::pair<const char*, std::string> defaults[] = {{"inicio *.daw", "0"},
                                                          {"ultimo *.daw", "0"},
                                                          {"numero ultimo resumen", "1"},
                                                          {"numero ultimo registro *.trf", "1"},
                                                          {"M_intDecimal", "0"},
                                                          {"UpGrade", "0"},
                                                          {"Synchronize", "0"},
                                                          {"Check_Id", "1"},
                                                          {"Id", Blanks(16)},
                                                          {"RootId_R", Blanks(16)},
                                                          {"RootId", Blanks(16)},
                                                          {"Reintentos", "0"},
                                                          {"PeriodoReintentos", "0"}};
  for (const auto& [key, value] : defaults) EXPECT_EQ(Params().ReadOfficeParam(key), value) << key;
}

TEST_F(OfficeParamFileTest, EveryKeyWritesItsOwnRecordsAndReadsBack) {
  const struct {
    const char* key;
    int record;
    const char* value;
    std::string stored;  // empty: a number, stored as Le(value)
  } rows[] = {
      {"password", 0, "clave", Slot("clave" + Blanks(11), 17)},
      {"inicio *.daw", 5, "46363", ""},
      {"ultimo *.daw", 6, "-5", ""},
      {"numero ultimo resumen", 11, "2147483647", ""},
      {"numero ultimo registro *.trf", 12, "-2147483648", ""},
      {"M_intDecimal", 13, "13", ""},
      {"UpGrade", 16, "16", ""},
      {"Synchronize", 17, "17", ""},
      {"Check_Id", 18, "0", ""},
      {"Id", 19, "MODEM-0042", Slot("MODEM-0042" + Blanks(6), 17)},
      {"RootId_R", 24, "R", Slot("R" + Blanks(15), 17)},
      {"RootId", 29, "0123456789abcdef", Slot("0123456789abcdef", 17)},
      {"Reintentos", 36, "3", ""},
      {"PeriodoReintentos", 37, "600", ""},
  };
  std::string expected = NewFile();
  for (const auto& row : rows) {
    ASSERT_TRUE(Params().WriteOfficeParam(row.key, row.value));
    const std::string stored =
        row.stored.empty() ? Le(static_cast<uint32_t>(std::stoll(row.value))) : row.stored;
    expected.replace(row.record * 4, stored.size(), stored);
    const std::string read = row.stored.empty() ? row.value : Padded(row.value);
    EXPECT_EQ(Params().ReadOfficeParam(row.key), read) << row.key;
  }
  EXPECT_EQ(Bytes(File()), expected);  // records 40 to 1000 included: still 0
}

TEST_F(OfficeParamFileTest, TextValuesAreCutOrPaddedToSixteenWindows1252Characters) {
  const struct {
    const char* value;
    std::string stored;  // the 16 characters in Windows-1252
    const char* read;
  } rows[] = {
      {"", Blanks(16), "                "},
      {"ABCDEFGH        ", "ABCDEFGH        ", "ABCDEFGH        "},
      {"ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
      // Cut by characters, not by UTF-8 bytes.
      {"\xC3\xB1"
       "and\xC3\xBA\xC3\xB1"
       "and\xC3\xBA\xC3\xB1"
       "and\xC3\xBA\xC3\xB1"
       "and\xC3\xBA",
       "\xF1"
       "and\xFA\xF1"
       "and\xFA\xF1"
       "and\xFA\xF1",
       "\xC3\xB1"
       "and\xC3\xBA\xC3\xB1"
       "and\xC3\xBA\xC3\xB1"
       "and\xC3\xBA\xC3\xB1"},
      {"Pe\xC3\xB1\xC3\xB3n \xE2\x82\xAC", "Pe\xF1\xF3n \x80" + Blanks(9),
       "Pe\xC3\xB1\xC3\xB3n \xE2\x82\xAC         "},
      {"\xE6\x97\xA5", "?" + Blanks(15), "?               "},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(Params().WriteOfficeParam("Id", row.value));
    EXPECT_EQ(Bytes(File()).substr(19 * 4, 20), Slot(row.stored, 17)) << row.value;
    EXPECT_EQ(Params().ReadOfficeParam("Id"), row.read) << row.value;
  }
}

TEST_F(OfficeParamFileTest, AnySlotAnOfficeLeftReadsAndWritesBackUnchanged) {
  std::string file = NewFile();
  const std::string raw(
      "\x81\x00\xFF\n\x8D\x9D\x90\x8F"
      "abcdefgh",
      16);
  file.replace(19 * 4, 20, Slot(raw, 17));
  Put(File(), file);
  const std::optional<std::string> read = Params().ReadOfficeParam("Id");
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->substr(0, 5), std::string("\xC2\x81\x00\xC3\xBF", 5));
  ASSERT_TRUE(Params().WriteOfficeParam("Id", *read));
  EXPECT_EQ(Bytes(File()), file);
}

TEST_F(OfficeParamFileTest, EachTextWriteTakesAFreshIndexAndReadersUseTheStoredOne) {
  Params().WriteOfficeParam("Id", "ABC");
  const std::string first = Bytes(File()).substr(19 * 4, 20);
  clock_.Advance(25s);
  Params().WriteOfficeParam("Id", "ABC");
  EXPECT_EQ(Bytes(File()).substr(19 * 4, 20), Slot(Padded("ABC"), 42));
  EXPECT_NE(Bytes(File()).substr(19 * 4, 20), first);
  EXPECT_EQ(Bytes(File()).substr(0, 20), Slot(Padded("GALERNA"), 17));  // its own index
  EXPECT_EQ(Params().ReadOfficeParam("Id"), Padded("ABC"));

  // Indexes outside 0..59 (another program's): (200 + 0x3A) * 0x01010101 keeps 0x03030302.
  std::string file = Bytes(File());
  file.replace(24 * 4, 20,
               Le(200) + Le(0x44434241 ^ 0x03030302) + Le(0x20202020 ^ 0x03030302) +
                   Le(0x20202020 ^ 0x03030302) + Le(0x5A202020 ^ 0x03030302));
  Put(File(), file);
  EXPECT_EQ(Params().ReadOfficeParam("RootId_R"), "ABCD           Z");
}

TEST_F(OfficeParamFileTest, KeysMatchExactlyAndOthersSelectNothing) {
  for (const char* key : {"Password", "PASSWORD", "id", "password ", "inicio", ""}) {
    EXPECT_EQ(Params().ReadOfficeParam(key), std::nullopt) << key;
    EXPECT_FALSE(Params().WriteOfficeParam(key, "7")) << key;
    EXPECT_EQ(Bytes(File()), NewFile()) << key;  // created all the same, and unchanged
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
  try {
    Params().ReadOfficeParam("RootId");
    ADD_FAILURE() << "a slot beyond the end was read";
  } catch (const OfficeParamError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot read \"RootId\" (records 29 to 33) from the office parameter file \"" +
                  lower.string() + "\": the file is only 100 bytes long");
  }
  ASSERT_TRUE(Params().WriteOfficeParam("Reintentos", "-1"));
  EXPECT_EQ(Bytes(lower), NewFile().substr(0, 100) + std::string(44, '\0') + Le(0xFFFFFFFF));
}

TEST_F(OfficeParamFileTest, FileErrorsNameWhatFailedAndTheFile) {
  const fs::path missing = dir_ / "loc07";
  EXPECT_THROW(
      {
        try {
          OfficeParamFile(missing, clock_).ReadOfficeParam("password");
        } catch (const OfficeParamError& e) {
          EXPECT_EQ(std::string(e.what()), "cannot create the office parameter file \"" +
                                               (missing / "MARVOLEN.TCP").string() +
                                               "\": the office directory does not exist");
          throw;
        }
      },
      OfficeParamError);
  EXPECT_FALSE(fs::exists(missing));

  fs::create_directory(File());
  EXPECT_THROW(Params().WriteOfficeParam("Id", "x"), OfficeParamError);

  fs::remove(File());
  Put(File(), NewFile());
  FaultyFs faulty;
  faulty.fail = "PRead";
  try {
    Params(&faulty).ReadOfficeParam("Check_Id");
    ADD_FAILURE() << "a failed read gave a value";
  } catch (const OfficeParamError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot read \"Check_Id\" (record 18) from the office parameter file \"" +
                  File().string() + "\": Input/output error");
  }
}

TEST_F(OfficeParamFileTest, AFailedCreationLeavesNoFileBehind) {
  const struct {
    const char* call;
    int error;
    size_t partial;
  } rows[] = {{"PWrite", ENOSPC, 0},
              {"PWrite", ENOSPC, 1000},
              {"FSync", EIO, 0},
              {"Close", EIO, 0},
              {"RenameNoReplace", EIO, 0}};
  for (const auto& row : rows) {
    FaultyFs faulty;
    faulty.fail = row.call;
    faulty.error = row.error;
    faulty.partial = row.partial;
    EXPECT_THROW(Params(&faulty).ReadOfficeParam("password"), OfficeParamError) << row.call;
    EXPECT_TRUE(Entries().empty()) << row.call;
  }
  // A real file-size limit cuts the write short the way a full disk does.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 1000;
  ::setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_THROW(Params().ReadOfficeParam("password"), OfficeParamError);
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(Entries().empty());
}

TEST_F(OfficeParamFileTest, CreationNeverReplacesAFileThatAppearedMeanwhile) {
  std::string theirs = NewFile();
  theirs.replace(36 * 4, 4, Le(5));
  FaultyFs faulty;
  faulty.before_rename = [&] { Put(File(), theirs); };
  EXPECT_EQ(Params(&faulty).ReadOfficeParam("Reintentos"), "5");
  EXPECT_EQ(Bytes(File()), theirs);
  EXPECT_EQ(Entries(), std::vector<std::string>{"MARVOLEN.TCP"});
}

TEST_F(OfficeParamFileTest, AFailedWriteLeavesTheFileAsItWas) {
  const std::pair<std::string, const char*> files[] = {{NewFile(), "Id"},
                                                       {NewFile().substr(0, 100), "Reintentos"}};
  for (const auto& [before, key] : files) {
    Put(File(), before);
    FaultyFs faulty;
    faulty.fail = "PWrite";
    faulty.error = ENOSPC;
    faulty.partial = 3;
    try {
      Params(&faulty).WriteOfficeParam(key, "12345678");
      ADD_FAILURE() << "a failed write reported success";
    } catch (const OfficeParamError& e) {
      EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos);
      EXPECT_NE(std::string(e.what()).find(File().string()), std::string::npos);
    }
    EXPECT_EQ(Bytes(File()), before) << key;
  }
}

}  // namespace
}  // namespace marvolen
