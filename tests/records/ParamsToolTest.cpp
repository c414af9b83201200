#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/ScratchDir.h"

namespace marvolen {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// The tool run as its own process, arguments passed as they are (no shell in between).
class ParamsToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = scratch::NewScratchDir("paramstool");
    fs::create_directory(office_ = base_ / "loc05");
  }
  void TearDown() override { fs::remove_all(base_); }

  Outcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), MARVOLEN_PARAMS_TOOL);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = base_ / "stdout", err = base_ / "stderr";
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&io, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &io, nullptr, argv.data(), environ) == 0) {
      ::waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&io);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
  }
  std::string Param() const { return Slurp(office_ / "MARVOLEN.TCP"); }

  fs::path base_, office_;
};

TEST_F(ParamsToolTest, GetOnANewOfficeMakesTheDefaultFileButAnUnknownKeyDoesNot) {
  EXPECT_EQ(Run({office_, "get", "id"}).status, 2);
  EXPECT_FALSE(fs::exists(office_ / "MARVOLEN.TCP"));
  const Outcome o = Run({office_, "get", "password"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "GALERNA         \n");
  EXPECT_EQ(Param().size(), 4004u);
}

TEST_F(ParamsToolTest, SetStoresValuesThatLookLikeOptions) {
  const Outcome set = Run({office_, "set", "M_intDecimal", "-5"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "");
  EXPECT_EQ(Param().substr(13 * 4, 4), "\xFB\xFF\xFF\xFF");
  EXPECT_EQ(Run({office_, "get", "M_intDecimal"}).out, "-5\n");

  EXPECT_EQ(Run({office_, "set", "Id", "Pe\xC3\xB1\xC3\xB3n"}).status, 0);
  EXPECT_EQ(Run({office_, "get", "Id"}).out, "Pe\xC3\xB1\xC3\xB3n           \n");
  // Unscrambled by hand with the index the slot carries: Windows-1252 on disk.
  const std::string slot = Param().substr(19 * 4, 20);
  std::string plain;
  for (char c : slot.substr(4)) plain += static_cast<char>(c ^ (slot[0] + 0x3A));
  EXPECT_EQ(plain, "Pe\xF1\xF3n           ");
}

// The day range takes 0 or less, or a day an MS-DOS date can name; a day beyond would make
// the station ask for hundreds of thousands of files.
TEST_F(ParamsToolTest, DayKeysTakeNoDayBeyondTheDosDates) {
  for (const char* key : {"inicio *.daw", "ultimo *.daw"}) {
    SCOPED_TRACE(key);
    for (const char* good : {"0", "-5", "29221", "46363", "75971"}) {
      EXPECT_EQ(Run({office_, "set", key, good}).status, 0);
      EXPECT_EQ(Run({office_, "get", key}).out, std::string(good) + "\n");
    }
    for (const char* bad : {"31122026", "1", "29220", "75972", "2147483647"}) {
      const Outcome o = Run({office_, "set", key, bad});
      EXPECT_EQ(o.status, 1) << bad;
      EXPECT_NE(o.err.find("admite 0 o menos, o un día de 29221"), std::string::npos) << o.err;
      EXPECT_EQ(Run({office_, "get", key}).out, "75971\n");
    }
  }
}

// What an office left in a text slot is printed with its control bytes escaped.
TEST_F(ParamsToolTest, GetShowsControlBytesEscaped) {
  ASSERT_EQ(Run({office_, "set", "Id", "a\x1B[2Jb"}).status, 0);
  EXPECT_EQ(Run({office_, "get", "Id"}).out, "a\\x1B[2Jb          \n");
}

TEST_F(ParamsToolTest, DumpListsEveryKeyInRecordOrder) {
  ASSERT_EQ(Run({office_, "set", "RootId", "a\tb"}).status, 0);
  const Outcome o = Run({office_, "dump"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "password\tGALERNA         \ninicio *.daw\t0\nultimo *.daw\t0\n"
            "numero ultimo resumen\t1\nnumero ultimo registro *.trf\t1\nM_intDecimal\t0\n"
            "UpGrade\t0\nSynchronize\t0\nCheck_Id\t1\nId\t                \n"
            "RootId_R\t                \nRootId\ta\\x09b             \nReintentos\t0\n"
            "PeriodoReintentos\t0\n");
}

TEST_F(ParamsToolTest, BadRequestsAreRefusedAndChangeNothing) {
  ASSERT_EQ(Run({office_, "set", "password", "secreta"}).status, 0);
  const std::string before = Param();
  const std::string dir = office_, missing = base_ / "loc99", linked = base_ / "loc12";
  // An office swapped for a link (by whoever owns the working directory, while root runs the
  // tool) must not send the tool into the link's target.
  const fs::path target = base_ / "root-only";
  fs::create_directory(target);
  fs::create_directory_symlink(target, linked);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } rows[] = {
      {{}, 2, "Usage: marvolen-params OFFICEDIR dump"},
      {{dir, "list"}, 2, "subcomando desconocido \"list\""},
      {{dir, "dump", "extra"}, 2, "número de argumentos incorrecto para dump"},
      {{dir, "get", "Password"}, 2, "clave desconocida \"Password\""},
      {{dir, "set", "password", "x", "y"}, 2, "número de argumentos incorrecto para set"},
      {{"-v", "dump"}, 2, "opción desconocida \"-v\""},
      {{dir, "set", "Check_Id", "abc"}, 1, "\"Check_Id\" admite un número entero"},
      {{dir, "set", "password", "seventeen letters"}, 1, "a lo sumo 16 caracteres"},
      {{dir, "set", "password", "\xE6\x97\xA5"}, 1, "Windows-1252"},
      {{dir, "set", "password", "\xF1"}, 1, "Windows-1252"},
      {{missing, "get", "Id"},
       1,
       "No se puede crear el archivo de parámetros de la oficina \"" + missing +
           "/MARVOLEN.TCP\": el directorio de la oficina no existe\n"},
      {{linked, "set", "password", "x"}, 1, "el directorio de la oficina es un enlace simbólico"},
      {{linked, "dump"}, 1, "el directorio de la oficina es un enlace simbólico"},
      {{dir, "init", "--password", "otra"}, 1, "ya tiene su archivo"},
      {{missing, "init"}, 2, "init necesita --password"},
      {{missing, "init", "--password", ""}, 2, "init necesita --password"},
      {{missing, "init", "--password", "ab", "--colour", "red"}, 2, "opción desconocida de init"},
      {{missing, "init", "--password", "ab", "--id"}, 2, "falta el valor de --id"},
      {{missing, "init", "--password", "ab", "--from", "80000"}, 1, "\"inicio *.daw\" admite"},
      {{missing, "init", "--password", "diecisiete letras"}, 1, "a lo sumo 16 caracteres"},
  };
  for (const auto& row : rows) {
    const Outcome o = Run(row.args);
    EXPECT_EQ(o.status, row.status) << o.err;
    EXPECT_NE(o.err.find(row.message), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(Param(), before);
  }
  EXPECT_EQ(Run({dir, "get", "password"}).out, "secreta         \n");
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_TRUE(fs::is_empty(target));
}

uid_t OwnerUid(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// A new office made by init, and an office changed by set, belong to whoever owns the
// working directory, even when the tool runs as root: the station, running as that user,
// must still replace the file at the office's next call.
TEST_F(ParamsToolTest, InitAndSetLeaveTheOfficeToTheOwnerOfTheWorkingDirectory) {
  const struct passwd* pw = ::getuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::getuid());
  ASSERT_NE(pw, nullptr);
  const uid_t uid = pw->pw_uid;
  const fs::path work = base_ / "work", office = work / "loc09";
  fs::create_directory(work);
  ASSERT_EQ(::chown(work.c_str(), uid, pw->pw_gid), 0);
  ::chmod(base_.c_str(), 0755);

  const Outcome init =
      Run({office, "init", "--password", "Peñón", "--id", "CENTRAL9", "--from", "46363"});
  ASSERT_EQ(init.status, 0) << init.err;
  EXPECT_EQ(OwnerUid(office), uid);
  EXPECT_EQ(OwnerUid(office / "MARVOLEN.TCP"), uid);
  EXPECT_EQ(Run({office, "get", "password"}).out, "Peñón           \n");
  EXPECT_EQ(Run({office, "get", "Id"}).out, "CENTRAL9        \n");
  EXPECT_EQ(Run({office, "get", "inicio *.daw"}).out, "46363\n");

  ASSERT_EQ(Run({office, "set", "Reintentos", "4"}).status, 0);
  EXPECT_EQ(OwnerUid(office / "MARVOLEN.TCP"), uid);
  EXPECT_EQ(Run({office, "get", "Reintentos"}).out, "4\n");

  // A directory without its file is an office to complete, not one to refuse.
  fs::create_directory(work / "loc10");
  ASSERT_EQ(::chown((work / "loc10").c_str(), uid, pw->pw_gid), 0);
  EXPECT_EQ(Run({work / "loc10", "init", "--password", "x"}).status, 0);
  EXPECT_EQ(OwnerUid(work / "loc10" / "MARVOLEN.TCP"), uid);

  // Where the owner may not write, neither may root on its behalf: nothing is made.
  if (::getuid() == 0) {
    const fs::path closed = work / "closed";
    fs::create_directory(closed);
    ASSERT_EQ(::chown(closed.c_str(), uid, pw->pw_gid), 0);
    ::chmod(closed.c_str(), 0555);
    EXPECT_EQ(Run({closed / "loc11", "init", "--password", "x"}).status, 1);
    EXPECT_FALSE(fs::exists(closed / "loc11"));
  }
}

}  // namespace
}  // namespace marvolen
