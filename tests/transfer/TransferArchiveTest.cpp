#include "transfer/TransferArchive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/Errors.h"
#include "tests/RecordingFileOps.h"
#include "tests/ScratchDir.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TransferArchive, AnOfficeArchiveNeverReplacesTheParameterFile) {
  const fs::path root = scratch::NewScratchDir("xarch");
  fs::create_directories(root / "src" / "sub");
  fs::create_directories(root / "office");
  std::ofstream(root / "src" / "marvolen.tcp") << "forged parameters";
  std::ofstream(root / "src" / "sub" / "Marvolen.Tcp") << "forged too";
  std::ofstream(root / "src" / "TRAFICO.TRF") << "traffic";
  ASSERT_EQ(std::system(("cd " + (root / "src").string() +
                         " && zip -q -X ../in.zip marvolen.tcp sub/Marvolen.Tcp TRAFICO.TRF")
                            .c_str()),
            0);
  std::ofstream(root / "office" / "MARVOLEN.TCP") << "real parameters";

  std::vector<std::string> log;
  const ArchiveHooks hooks = ZipArchiveHooks([&](std::string_view l) { log.emplace_back(l); });
  hooks.extract(root / "in.zip", root / "office", {});

  EXPECT_EQ(Slurp(root / "office" / "MARVOLEN.TCP"), "real parameters");
  EXPECT_FALSE(fs::exists(root / "office" / "marvolen.tcp"));
  EXPECT_FALSE(fs::exists(root / "office" / "sub" / "Marvolen.Tcp"));
  EXPECT_EQ(Slurp(root / "office" / "TRAFICO.TRF"), "traffic");
  ASSERT_EQ(log.size(), 2u);
  for (const std::string& line : log) EXPECT_EQ(line.rfind("ERROR de descompresión:", 0), 0u);
  fs::remove_all(root);
}

// A scratch root with the office's directory and a source directory to zip from.
class OfficeArchive : public ::testing::Test {
 protected:
  OfficeArchive() {
    root_ = scratch::NewScratchDir("xarch");
    office_ = root_ / "office";
    fs::create_directories(root_ / "src");
    fs::create_directories(office_);
  }
  ~OfficeArchive() override { fs::remove_all(root_); }

  // Stores `names` (files of "src") uncompressed in "in.zip", in that order.
  void Zip(const std::string& names) {
    ASSERT_EQ(
        std::system(
            ("cd " + (root_ / "src").string() + " && zip -q -X -0 ../in.zip " + names).c_str()),
        0);
  }
  void Patch(const std::function<void(std::string&)>& edit) {
    std::string bytes = Slurp(root_ / "in.zip");
    edit(bytes);
    std::ofstream(root_ / "in.zip", std::ios::binary | std::ios::trunc) << bytes;
  }
  std::vector<std::string> OfficeFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(office_)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void Extract(const EntryFilter& wanted) { hooks_.extract(root_ / "in.zip", office_, wanted); }

  fs::path root_;
  fs::path office_;
  std::vector<std::string> log_;
  ArchiveHooks hooks_ = ZipArchiveHooks([this](std::string_view l) { log_.emplace_back(l); });
};

// One member fails its CRC: the archive counts as not received, nothing of it lands in the
// office's directory (not even its sound members), and what was there stays.
TEST_F(OfficeArchive, AMemberThatFailsLeavesNothingOfTheArchive) {
  std::ofstream(root_ / "src" / "02122026.daw") << "damaged day";
  std::ofstream(root_ / "src" / "01122026.daw") << "good day";
  Zip("02122026.daw 01122026.daw");
  // The first member's data starts right after its 30-byte header and its name.
  Patch([](std::string& b) { b[30 + 12] ^= 0x01; });
  std::ofstream(office_ / "02122026.DAW") << "old copy";

  std::string error;
  std::error_code code;
  try {
    Extract({});
  } catch (const std::exception& e) {
    error = e.what();
    if (const auto* failure = dynamic_cast<const std::system_error*>(&e)) code = failure->code();
  }
  EXPECT_EQ(code, StationRefusal::kDamagedArchive);  // the station's refusal, no system failure

  EXPECT_EQ(OfficeFiles(), std::vector<std::string>{"02122026.DAW"});
  EXPECT_EQ(Slurp(office_ / "02122026.DAW"), "old copy");
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].rfind("ERROR de descompresión:02122026.daw", 0), 0u) << log_[0];
  // The error names the member and what was wrong with it, for the call's record.
  EXPECT_EQ(error, "1 archivo(s) dañado(s) en el archivo recibido; " + log_[0]);
}

// Only what the station asked for is written; any other member is reported and left out,
// and the sound ones still make a whole transfer.
TEST_F(OfficeArchive, OnlyTheRequestedMembersAreWritten) {
  fs::create_directories(root_ / "src" / "sub");
  for (const char* name :
       {"trafico.TRF", "TARIFA02.TBL", "07122026114234.trf", "sub/trafico.trf"}) {
    std::ofstream(root_ / "src" / name) << "from office: " << name;
  }
  Zip("trafico.TRF TARIFA02.TBL 07122026114234.trf sub/trafico.trf");
  std::ofstream(office_ / "TARIFA02.TBL") << "master table";
  std::ofstream(office_ / "07122026114234.trf") << "filed traffic";
  std::ofstream(office_ / "TRAFICO.TRF") << "stale traffic";

  Extract(OnlyNamed({"TRAFICO.TRF", "TRAFICO.BAK"}));

  EXPECT_EQ(OfficeFiles(),
            (std::vector<std::string>{"07122026114234.trf", "TARIFA02.TBL", "trafico.TRF"}));
  EXPECT_EQ(Slurp(office_ / "trafico.TRF"), "from office: trafico.TRF");
  EXPECT_EQ(Slurp(office_ / "TARIFA02.TBL"), "master table");
  EXPECT_EQ(Slurp(office_ / "07122026114234.trf"), "filed traffic");
  ASSERT_EQ(log_.size(), 3u);
  for (const std::string& line : log_) {
    EXPECT_EQ(line.rfind("ERROR de descompresión:", 0), 0u) << line;
    EXPECT_NE(line.find("no pedido"), std::string::npos) << line;
  }
}

// The disk fills while the members are unpacked: the archive counts as not received, nothing
// of it reaches the office's directory (no staging folder either), and what was there stays.
TEST_F(OfficeArchive, AFullDiskWhileUnpackingLeavesNothingOfTheArchive) {
  std::ofstream(root_ / "src" / "01122026.daw") << "first day";
  std::ofstream(root_ / "src" / "02122026.daw") << std::string(5000, 'd');
  Zip("01122026.daw 02122026.daw");
  std::ofstream(office_ / "02122026.DAW") << "old copy";
  const FileOps system = SystemFileOps();
  FileOps full = system;
  std::size_t room = 100;  // the first member fits, the second does not
  full.write = [&room, system](int fd, const void* data, size_t size) {
    if (size > room) return errno = ENOSPC, ssize_t{-1};
    room -= size;
    return system.write(fd, data, size);
  };
  const ArchiveHooks hooks =
      ZipArchiveHooks([this](std::string_view l) { log_.emplace_back(l); }, full);

  EXPECT_THROW(hooks.extract(root_ / "in.zip", office_, {}), std::exception);

  EXPECT_EQ(room, 100u - 9u);  // the first member went through the seam
  EXPECT_EQ(OfficeFiles(), std::vector<std::string>{"02122026.DAW"});
  EXPECT_EQ(Slurp(office_ / "02122026.DAW"), "old copy");
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].rfind("ERROR de descompresión:02122026.daw", 0), 0u) << log_[0];
}

// A member whose name the office's directory holds as a directory cannot be put in place:
// the operator is told which path, in the station's words, and the directory stays.
TEST_F(OfficeArchive, AMemberThatADirectoryBlocksIsNamedInTheError) {
  std::ofstream(root_ / "src" / "trafico.trf") << "traffic";
  Zip("trafico.trf");
  fs::create_directories(office_ / "TRAFICO.TRF");

  try {
    Extract({});
    ADD_FAILURE() << "a directory in the way went unnoticed";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()), "No se puede crear el archivo " +
                                         (office_ / "TRAFICO.TRF").string() + ": Is a directory");
  }
  EXPECT_TRUE(fs::is_directory(office_ / "TRAFICO.TRF"));
}

// A member that cannot be renamed into place is named in the error, and the staging
// directory goes with what it still holds.
TEST_F(OfficeArchive, AMemberThatCannotBePutInPlaceIsNamedAndLeavesNoStaging) {
  std::ofstream(root_ / "src" / "trafico.trf") << "traffic";
  Zip("trafico.trf");
  FileOps failing = SystemFileOps();
  failing.rename = [](const char*, const char*) { return errno = EIO, -1; };
  const ArchiveHooks hooks = ZipArchiveHooks({}, failing);
  try {
    hooks.extract(root_ / "in.zip", office_, {});
    ADD_FAILURE() << "the failed rename went unnoticed";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()), "No se puede poner en su sitio " +
                                         (office_ / "trafico.trf").string() +
                                         ": Input/output error");
  }
  EXPECT_TRUE(OfficeFiles().empty());
}

// Each member is synced before it is renamed into place, and the office directory after the
// last rename: the day files are on the disk under their names before the call goes on to
// record that they came. A directory that cannot be synced fails the unpacking. That is all
// that is flushed: not the whole file system, whose other writers a call need not wait for.
TEST_F(OfficeArchive, MembersAreSyncedBeforeTheirRenameAndTheirDirectoryAfter) {
  std::ofstream(root_ / "src" / "01122026.daw") << "day one";
  Zip("01122026.daw");
  for (const bool fail : {false, true}) {
    testing::RecordingFileOps rec;
    rec.fail_dir_fsync = fail;
    int file_system_flushes = 0;
    rec.ops.syncfs = [&](int) { return ++file_system_flushes, 0; };
    bool failed = false;
    try {
      ZipArchiveHooks({}, rec.ops).extract(root_ / "in.zip", office_, {});
    } catch (const FileError&) {
      failed = true;
    }
    EXPECT_EQ(failed, fail);
    std::vector<std::string> order;
    for (const std::string& line : rec.log) {
      if (line.find(".daw") != std::string::npos || line.starts_with("fsync dir"))
        order.push_back(line);
    }
    const std::string last = "fsync dir " + testing::RecordingFileOps::Shown(office_);
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ(
        std::vector<std::string>(order.end() - 3, order.end()),
        (std::vector<std::string>{"fsync 01122026.daw", "rename 01122026.daw 01122026.daw", last}));
    EXPECT_EQ(file_system_flushes, 0);
  }
}

// A name holding a NUL is reported whole, with the reason it was not written.
TEST_F(OfficeArchive, ANameWithANulIsReportedWholeWithItsReason) {
  std::ofstream(root_ / "src" / "aXb.daw") << "day";
  Zip("aXb.daw");
  Patch([](std::string& b) {
    for (size_t at = b.find("aXb.daw"); at != std::string::npos; at = b.find("aXb.daw", at)) {
      b[at + 1] = '\0';
    }
  });
  const std::string name("a\0b.daw", 7);

  EXPECT_THROW(Extract({}), std::exception);
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_NE(log_[0].find(name + " - "), std::string::npos);
  EXPECT_NE(log_[0].find("no es un nombre de archivo simple"), std::string::npos) << log_[0];

  log_.clear();
  Extract(OnlyNamed({"a"}));
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_NE(log_[0].find(name + " - "), std::string::npos);
  EXPECT_TRUE(OfficeFiles().empty());
}

}  // namespace
}  // namespace marvolen
