#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace marvolen {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The tool run as its own process, arguments passed as they are (no shell in between).
class ParamsToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "/paramstoolXXXXXX";
    base_ = ::mkdtemp(tmpl.data());
    office_ = base_ / "loc05";
    fs::create_directory(office_);
  }
  void TearDown() override { fs::remove_all(base_); }

  Outcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), MARVOLEN_PARAMS_TOOL);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = base_ / "stdout", err = base_ / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    Outcome o;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    o.out = Slurp(out);
    o.err = Slurp(err);
    return o;
  }
  std::string Dir() const { return office_.string(); }

  fs::path base_, office_;
};

TEST_F(ParamsToolTest, GetOnANewOfficeMakesTheDefaultFile) {
  const Outcome o = Run({Dir(), "get", "password"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "GALERNA         \n");
  EXPECT_EQ(fs::file_size(office_ / "MARVOLEN.TCP"), 4004u);
}

TEST_F(ParamsToolTest, SetStoresValuesThatLookLikeOptions) {
  const Outcome set = Run({Dir(), "set", "inicio *.daw", "-5"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "");
  EXPECT_EQ(Slurp(office_ / "MARVOLEN.TCP").substr(20, 4), "\xFB\xFF\xFF\xFF");
  EXPECT_EQ(Run({Dir(), "get", "inicio *.daw"}).out, "-5\n");

  EXPECT_EQ(Run({Dir(), "set", "Id", "Pe\xC3\xB1\xC3\xB3n"}).status, 0);
  EXPECT_EQ(Run({Dir(), "get", "Id"}).out, "Pe\xC3\xB1\xC3\xB3n           \n");
  // Unscrambled by hand with the index the slot carries: Windows-1252 bytes on disk.
  const std::string slot = Slurp(office_ / "MARVOLEN.TCP").substr(19 * 4, 20);
  std::string plain;
  for (char c : slot.substr(4)) plain += static_cast<char>(c ^ (slot[0] + 0x3A));
  EXPECT_EQ(plain, "Pe\xF1\xF3n           ");
}

TEST_F(ParamsToolTest, DumpListsEveryKeyInRecordOrder) {
  ASSERT_EQ(Run({Dir(), "set", "RootId", "a\tb"}).status, 0);
  const Outcome o = Run({Dir(), "dump"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "password\tGALERNA         \n"
            "inicio *.daw\t0\n"
            "ultimo *.daw\t0\n"
            "numero ultimo resumen\t1\n"
            "numero ultimo registro *.trf\t1\n"
            "M_intDecimal\t0\n"
            "UpGrade\t0\n"
            "Synchronize\t0\n"
            "Check_Id\t1\n"
            "Id\t                \n"
            "RootId_R\t                \n"
            "RootId\ta\\x09b             \n"
            "Reintentos\t0\n"
            "PeriodoReintentos\t0\n");
}

TEST_F(ParamsToolTest, BadRequestsAreRefusedAndChangeNothing) {
  ASSERT_EQ(Run({Dir(), "set", "password", "secreta"}).status, 0);
  const std::string before = Slurp(office_ / "MARVOLEN.TCP");
  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;
  } rows[] = {
      {{}, 2, "usage: marvolen-params OFFICEDIR dump"},
      {{Dir()}, 2, "usage:"},
      {{Dir(), "list"}, 2, "unknown subcommand \"list\""},
      {{Dir(), "dump", "extra"}, 2, "wrong number of arguments for dump"},
      {{Dir(), "get"}, 2, "wrong number of arguments for get"},
      {{Dir(), "get", "Password"}, 2, "unknown key \"Password\""},
      {{Dir(), "set", "password", "x", "y"}, 2, "wrong number of arguments for set"},
      {{"-v", "dump"}, 2, "unknown option \"-v\""},
      {{Dir(), "set", "Check_Id", "abc"}, 1, "\"Check_Id\" takes a whole number"},
      {{Dir(), "set", "Reintentos", "2147483648"}, 1, "takes a whole number"},
      {{Dir(), "set", "password", "seventeen letters"}, 1, "at most 16 characters"},
      {{Dir(), "set", "password", "\xE6\x97\xA5"}, 1, "Windows-1252"},
      {{Dir(), "set", "password", "\xF1"}, 1, "Windows-1252"},
  };
  for (const auto& row : rows) {
    const Outcome o = Run(row.args);
    EXPECT_EQ(o.status, row.status) << o.err;
    EXPECT_NE(o.err.find(row.message), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(Slurp(office_ / "MARVOLEN.TCP"), before);
  }
  EXPECT_EQ(Run({Dir(), "get", "password"}).out, "secreta         \n");
}

TEST_F(ParamsToolTest, FileErrorsExitNonZeroNamingTheFile) {
  const fs::path other = base_ / "loc06";
  fs::create_directory(other);
  const Outcome unknown = Run({other.string(), "get", "id"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_FALSE(fs::exists(other / "MARVOLEN.TCP"));  // refused before touching anything

  const Outcome missing = Run({(base_ / "loc99").string(), "get", "Id"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "marvolen-params: cannot create the office parameter file \"" +
                             (base_ / "loc99" / "MARVOLEN.TCP").string() +
                             "\": the office directory does not exist\n");
}

}  // namespace
}  // namespace marvolen
