#include "call/Admission.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "call/CallState.h"
#include "call/ScriptSteps.h"
#include "platform/CodePage.h"
#include "records/OfficeParamFile.h"

#include "tests/call/CallFixture.h"
#include "tests/call/IdentBuilder.h"

namespace marvolen {
namespace {

using test::IdentBuilder;
namespace fs = std::filesystem;

class AdmissionTest : public test::CallFixture {
 protected:
  void SetUp() override {
    CallFixture::SetUp();
    Write("work/loc07/TARIFA.TBL", "AB");
  }
  AdmissionResult Admit(const IdentBuilder& b) {
    return AdmitOffice(b.Line(), TableKind::Tbl(), setup_);
  }
  std::string Survey(const char* office, std::string_view tag, bool upgrades) {
    std::string out;
    for (auto& e :
         SurveyOfficeFiles(setup_.WorkDir + office, TableKind::Tbl(), setup_.WorkDir, tag, upgrades)
             .entries)
      out += e.name + "=" + std::to_string(e.value) + " ";
    return out;
  }
};

TEST_F(AdmissionTest, HalvesThatDifferAreRefusedBeforeAnyParameterRead) {
  std::string line =
      "Ident=00007TT071065076069082"
      "12345";  // "Ident=" + 60 in all
  line += line;
  line[60] = '9';
  const AdmissionResult r = AdmitOffice(line, TableKind::Tab(), setup_);
  EXPECT_EQ(r.refusal, Refusal::kHalvesDiffer);
  EXPECT_EQ(params_.opens, 0);
  EXPECT_EQ(view_, std::vector<std::string>{"Oficina: 00007  ***Conectada al centro de "
                                            "telesupervisión***"});
  EXPECT_TRUE(activity_.empty());
  EXPECT_EQ(std::string(r.TableExt.Ext()) + std::to_string(r.TableExt.HeaderWidth()),
            "tab66");  // as the last call left it
}

TEST_F(AdmissionTest, OfficeNumberSelectsDirectoryAndTagOrRefuses) {
  IdentBuilder b;
  const AdmissionResult r = Admit(b);
  ASSERT_TRUE(r.Admitted());
  EXPECT_EQ(opened_, setup_.WorkDir + "loc07");
  EXPECT_EQ(r.office.OfficeDir.string() + " " + r.office.OfficeTag, setup_.WorkDir + "loc07 0007");
  EXPECT_EQ(OfficeDirFor("/w/", 123) + OfficeTagFor(9999), "/w/loc1239999");
  for (const char* bad : {"10000", "ABCDE", "00000", "-0007"}) {
    b.office = bad;
    params_.opens = 0;
    EXPECT_EQ(Admit(b).refusal, Refusal::kOfficeNumber) << bad;
    EXPECT_EQ(params_.opens, 0) << bad;
  }
  EXPECT_EQ(activity_.size(), 6u);  // the summary line for each, "Tablas: " for the first
}

TEST_F(AdmissionTest, TableKindIsTakenEvenWhenTheCallIsRefused) {
  for (const char* kind : {"s", "n", "S", "T", " "}) {
    IdentBuilder b;
    b.kind = kind;
    b.password = "WRONG";
    const AdmissionResult r = Admit(b);
    EXPECT_EQ(r.refusal, Refusal::kPassword);
    const bool tab = std::string("sSn").find(kind) != std::string::npos;
    EXPECT_EQ(std::string(r.TableExt.Ext()) + std::to_string(r.TableExt.HeaderWidth()),
              tab ? "tab66" : "tbl98")
        << kind;
  }
}

TEST_F(AdmissionTest, PasswordGroupsAgainstTheStoredPassword) {
  const std::tuple<std::string, std::string, bool> rows[] = {
      {"GALERNA         ", "GALER", true},
      {"GALERNA         ", "GALEX", false},
      {"ABC             ", "ABC", true},  // the builder sends 032 for what is missing
      {"ABC", "ABC", true},               // an unpadded text reads as blank-padded too
      {"ABC             ", std::string("ABC\0\0", 5), false},
      {"\xC3\xB1"
       "ANDU           ",
       "\xF1"
       "ANDU",
       true}};  // ñ is 241 on the line
  for (const auto& [stored, sent, admitted] : rows) {
    params_.values["password"] = stored;
    IdentBuilder b;
    b.password = sent;
    EXPECT_EQ(Admit(b).Admitted(), admitted) << stored;
  }
  // The five bytes Windows-1252 leaves undefined (read from the file as U+0081 ...) are
  // compared as themselves, never as the '?' a lossy conversion makes of them.
  for (const char odd : {'\x81', '\x8D', '\x8F', '\x90', '\x9D'}) {
    params_.values["password"] = AnsiToUtf8Exact(std::string("AB") + odd + "CD");
    IdentBuilder b;
    b.password = std::string("AB") + odd + "CD";
    EXPECT_TRUE(Admit(b).Admitted()) << int(odd);
    b.password = "AB?CD";
    EXPECT_FALSE(Admit(b).Admitted()) << int(odd);
  }
  params_.values["password"] = "GALERNA";
  std::string half = IdentBuilder().Half();
  half.replace(19, 3, "0A5");
  try {
    AdmitOffice(half + half, TableKind::Tbl(), setup_);
    ADD_FAILURE() << "a password group that is no number was taken";
  } catch (const ConversionError& e) {
    // Shown and recorded: which group and what is wrong with it, none of its digits.
    EXPECT_STREQ(e.what(), "'*A*' is not a valid integer value (clave de la oficina, grupo 3)");
  }
  half.replace(13, 3, "999");  // a mismatch in group 1 refuses before group 3 is read
  EXPECT_EQ(AdmitOffice(half + half, TableKind::Tbl(), setup_).refusal, Refusal::kPassword);
}

TEST_F(AdmissionTest, ParametersInOrderStrictlyConverted) {
  params_.values = {{"password", "GALERNA"},
                    {"inicio *.daw", "46363"},
                    {"ultimo *.daw", "46365"},
                    {"Check_Id", "0"},
                    {"Id", ""},
                    {"UpGrade", "1"},
                    {"Reintentos", "200"},
                    {"PeriodoReintentos", "15"},
                    {"Synchronize", "1"}};
  IdentBuilder b;
  AdmissionResult r = Admit(b);
  EXPECT_EQ(params_.reads, (std::vector<std::string>{"password", "inicio *.daw", "ultimo *.daw",
                                                     "Check_Id", "Id", "UpGrade", "Reintentos",
                                                     "PeriodoReintentos", "Synchronize"}));
  EXPECT_EQ(std::vector<int>({r.office.DayFirst, r.office.DayLast, r.office.RetryCount,
                              r.office.RetryPeriod, r.office.SyncClock}),
            std::vector<int>({46363, 46365, -56, 15, 1}));
  r.OfficeLock.reset();  // that call is over
  b.feature = " ";       // a blank flag: "Synchronize" is not even read
  params_.reads.clear();
  EXPECT_EQ(Admit(b).office.SyncClock, 0);
  EXPECT_EQ(params_.reads.size(), 8u);
  params_.values["UpGrade"] = "si";
  EXPECT_THROW(Admit(b), ConversionError);
}

TEST_F(AdmissionTest, DevicePinning) {
  IdentBuilder b;
  ASSERT_TRUE(Admit(b).Admitted());  // first call: the reported identifier is stored
  EXPECT_EQ(params_.writes, std::vector<std::string>{"Id=KEY00042        "});
  EXPECT_TRUE(Admit(b).Admitted());
  b.device = "OTRA0001";
  EXPECT_EQ(Admit(b).refusal, Refusal::kDeviceId);
  params_.values["Check_Id"] = "0";
  EXPECT_TRUE(Admit(b).Admitted());
  EXPECT_EQ(params_.writes.size(), 1u);
  // Pinned and met again byte for byte, bytes Windows-1252 leaves undefined included.
  params_.values["Check_Id"] = "1";
  for (const char odd : {'\x81', '\x8D', '\x8F', '\x90', '\x9D'}) {
    params_.values["Id"] = "";
    b.device = std::string("KEY0004") + odd;
    EXPECT_TRUE(Admit(b).Admitted()) << int(odd);
    EXPECT_TRUE(Admit(b).Admitted()) << int(odd);
    b.device = "KEY0004?";
    EXPECT_EQ(Admit(b).refusal, Refusal::kDeviceId) << int(odd);
  }
}

TEST_F(AdmissionTest, TabOfficesStartWithTabFiles) {
  IdentBuilder b;
  b.kind = "S";
  Write("work/loc07/zona.cos", "\xFF\xFF\x01");
  EXPECT_EQ(Admit(b).refusal, Refusal::kNoTables);
  Write("work/loc07/b.tab", "B");
  Write("work/loc07/A.Tab", "");
  const AdmissionResult r = Admit(b);
  std::string survey;
  for (auto& e : r.TableSurvey) survey += e.name + "=" + std::to_string(e.value) + " ";
  EXPECT_EQ(survey, "A.TAB=0 B.TAB=66 ZONA.COS=511 ");
}

TEST_F(AdmissionTest, SurveySumsAndLimits) {
  fs::create_directory(root_ / "work/loc07/DIR.TBL");  // not a file: not a table
  EXPECT_EQ(Survey("loc07", "0007", false), "TARIFA.TBL=131 ");
  fs::create_symlink("/proc/self/mem", root_ / "work/loc07/MEM.TBL");  // reads fail
  EXPECT_THROW(Survey("loc07", "0007", false), FileError);
  Write("big", std::string(16843010, '\xFF'));  // 255 * 16843010 = 2^32 + 254
  EXPECT_EQ(ByteSum((root_ / "big").string()), 254);
  fs::remove(root_ / "work/loc07/MEM.TBL");
  for (int i = 0; i < 55; ++i) Write("work/loc07/T" + std::to_string(i) + ".TBL", "x");
  Write("work/upgrades/PROGRAMA.UPG", "xyz");
  const auto s =
      SurveyOfficeFiles(setup_.WorkDir + "loc07", TableKind::Tbl(), setup_.WorkDir, "0007", true);
  // Sorted ignoring case: T0, T1, T10..T19, T2, ... T5, T50..T53 make 50; no room for more.
  EXPECT_EQ(s.entries.size(), 50u);
  EXPECT_EQ(s.entries.back().name, "T53.TBL");
}

TEST_F(AdmissionTest, UpgradesOfferedByName) {
  fs::create_directory(root_ / "work/loc08");
  Write("work/loc08/X.TBL", "x");
  for (const char* name : {"PROGRAM10007", "programa.upg", "PROG.UPG", "PROGRAMA0008", "x.UPG"})
    Write(std::string("work/upgrades/") + name, "12345");
  EXPECT_EQ(Survey("loc07", "0007", true), "TARIFA.TBL=131 PROGRAM10007=5 PROGRAMA.UPG=5 ");
  EXPECT_EQ(Survey("loc08", "0008", true), "X.TBL=120 PROGRAMA.UPG=5 PROGRAMA0008=5 ");
  // Through admission: the feature flag and "UpGrade" both have to allow them.
  IdentBuilder b;
  EXPECT_EQ(Admit(b).TableSurvey.size(), 1u);
  params_.values["UpGrade"] = "1";
  EXPECT_EQ(Admit(b).TableSurvey.size(), 3u);
  b.feature = " ";
  EXPECT_EQ(Admit(b).TableSurvey.size(), 1u);
}

TEST_F(AdmissionTest, OneLineAtATimeServesAnOffice) {
  IdentBuilder b;
  CallState first_line;
  StoreAdmission(Admit(b), first_line);
  ASSERT_TRUE(first_line.OfficeLock);
  ASSERT_EQ(params_.values["Id"], "KEY00042        ");
  // A second admission of office 7 meanwhile (another line; the lock is per open file, so in
  // one process too) hears that the office is busy only when it passes the password and the
  // device checks; anyone else is refused as at a free office. The parameters are only read,
  // nothing is written or staged.
  struct Case {
    const char* name;
    std::string password, device, check_id, stored_id;
    Refusal refusal;
    std::vector<std::string> read;
  };
  const std::vector<std::string> all{"password", "Check_Id", "Id"};
  const Case cases[] = {
      {"the office", "GALER", "KEY00042", "1", "KEY00042        ", Refusal::kOfficeBusy, all},
      {"wrong password",
       "WRONG",
       "KEY00042",
       "1",
       "KEY00042        ",
       Refusal::kPassword,
       {"password"}},
      {"other device", "GALER", "OTRA0001", "1", "KEY00042        ", Refusal::kDeviceId, all},
      {"no pinning",
       "GALER",
       "OTRA0001",
       "0",
       "KEY00042        ",
       Refusal::kOfficeBusy,
       {"password", "Check_Id"}},
      // Nothing on record: the identifier is not stored while the other line has the office.
      {"no device on record", "GALER", "OTRA0001", "1", std::string(16, ' '), Refusal::kOfficeBusy,
       all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    b.password = c.password;
    b.device = c.device;
    params_.values["Check_Id"] = c.check_id;
    params_.values["Id"] = c.stored_id;
    params_.reads.clear();
    params_.existing_reads.clear();
    params_.writes.clear();
    view_.clear();
    activity_.clear();
    fs::remove(root_ / "home/envio.zip");
    const AdmissionResult busy = Admit(b);
    EXPECT_EQ(busy.refusal, c.refusal);
    EXPECT_FALSE(busy.OfficeLock);
    EXPECT_EQ(params_.existing_reads, c.read);
    EXPECT_EQ(params_.reads, std::vector<std::string>{});
    EXPECT_EQ(params_.writes, std::vector<std::string>{});
    const bool told = c.refusal == Refusal::kOfficeBusy;
    EXPECT_EQ(std::count(view_.begin(), view_.end(), kOfficeBusyLine), told ? 1 : 0);
    EXPECT_EQ(std::count(activity_.begin(), activity_.end(), kOfficeBusyLine), told ? 1 : 0);
    EXPECT_FALSE(fs::exists(root_ / "home/envio.zip"));
  }
  params_.values["Check_Id"] = "1";
  params_.values["Id"] = "KEY00042        ";
  b.device = "KEY00042";
  // Another office is not held up; a refused call keeps no lock.
  fs::create_directories(root_ / "work/loc08");
  Write("work/loc08/X.TBL", "x");
  b.office = "00008";
  b.password = "WRONG";
  EXPECT_EQ(Admit(b).refusal, Refusal::kPassword);
  b.password = "GALER";
  EXPECT_TRUE(Admit(b).Admitted());
  // The end of the first call frees office 7 for the next line.
  first_line.OfficeLock.reset();
  b.office = "00007";
  EXPECT_TRUE(Admit(b).Admitted());
}

// Any failure to take the office's lock refuses the call before a parameter is read or a
// file staged, saying which file and why: an office is never served unlocked.
TEST_F(AdmissionTest, LockThatCannotBeTakenRefusesTheCall) {
  const fs::path lock = root_ / "work/loc07" / kOfficeLockFile;
  fs::create_directory(lock);
  const AdmissionResult r = Admit(IdentBuilder());
  EXPECT_EQ(r.refusal, Refusal::kLockFailed);
  EXPECT_EQ(r.RefusalDetail, lock.string() + ": " + std::strerror(EISDIR));
  EXPECT_EQ(params_.opens, 0);
  EXPECT_EQ(view_.back(), "*ERROR Bloqueo de la oficina: " + r.RefusalDetail);
  EXPECT_EQ(activity_.back(), view_.back());
  // No office directory: the parameter file's own error follows (AdmissionOnDisk). An opener
  // that gets past it does not let the office in unlocked, unless the directory is there then.
  IdentBuilder b;
  b.office = "00008";
  EXPECT_EQ(Admit(b).refusal, Refusal::kLockFailed);
  setup_.open_params = [this](const std::string& dir) {
    fs::create_directory(dir);
    Write("work/loc08/X.TBL", "x");
    return std::make_unique<test::FakeParams>(params_);
  };
  EXPECT_TRUE(Admit(b).OfficeLock);
}

// Every file of `dir` with its bytes and write time.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    files[e.path().filename()] =
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) + "@" +
        std::to_string(fs::last_write_time(e.path()).time_since_epoch().count());
  }
  return files;
}

TEST(AdmissionOnDisk, RealParameterFileAndCallState) {
  const fs::path root = scratch::NewScratchDir("call-disk");
  fs::create_directories(root / "loc07");
  std::ofstream(root / "loc07/TARIFA.TBL") << "AB";
  std::vector<std::string> view;
  AdmissionSetup setup{
      root.string() + "/",     root.string() + "/",
      OpenOfficeParamFile,     [&view](std::string_view t) { view.emplace_back(t); },
      [](std::string_view) {}, [](const std::string&, const FileOps&) {}};
  CallState state;
  state.ScriptStep = script::kDismissed;
  IdentBuilder b;
  // No directory for office 8: refused as a number the station does not serve, with the
  // parameter file's error shown as it always was and kept for the record; nothing is made.
  b.office = "00008";
  const AdmissionResult unknown = AdmitOffice(b.Line(), TableKind::Tbl(), setup);
  EXPECT_EQ(unknown.refusal, Refusal::kUnknownOffice);
  EXPECT_EQ(unknown.RefusalDetail, "No se puede crear el archivo de parámetros de la oficina \"" +
                                       (root / "loc08/MARVOLEN.TCP").string() +
                                       "\": el directorio de la oficina no existe");
  EXPECT_EQ(view.back(), "ERROR PROGRAMA: " + unknown.RefusalDetail);
  EXPECT_FALSE(fs::exists(root / "loc08"));
  // A file in the directory's place is no office directory either.
  std::ofstream(root / "loc09") << "x";
  b.office = "00009";
  EXPECT_EQ(AdmitOffice(b.Line(), TableKind::Tbl(), setup).refusal, Refusal::kUnknownOffice);
  b.office = "00007";  // a new file: password GALERNA, pinned on the first call
  StoreAdmission(AdmitOffice(b.Line(), TableKind::Tbl(), setup), state);
  EXPECT_EQ(state.LineState, "conectado");
  EXPECT_EQ(state.ScriptStep, script::kTables);
  EXPECT_EQ(OfficeParamFile(root / "loc07").ReadOfficeParam("Id"), "KEY00042        ");

  // Office 7 busy on that line: a second caller, right or wrong, changes nothing in its
  // directory; with its parameter file gone meanwhile, the file is not made again.
  const auto before = Snapshot(root / "loc07");
  for (const char* password : {"GALER", "WRONG"}) {
    b.password = password;
    EXPECT_NE(AdmitOffice(b.Line(), TableKind::Tbl(), setup).refusal, Refusal::kNone);
    EXPECT_EQ(Snapshot(root / "loc07"), before);
  }
  fs::rename(root / "loc07/MARVOLEN.TCP", root / "params");
  EXPECT_THROW(AdmitOffice(b.Line(), TableKind::Tbl(), setup), OfficeParamError);
  EXPECT_FALSE(fs::exists(root / "loc07/MARVOLEN.TCP"));
  fs::rename(root / "params", root / "loc07/MARVOLEN.TCP");
  state.OfficeLock.reset();
  b.password = "GALER";

  b.device = "OTRA0001";
  state.LineState = "conectando";
  StoreAdmission(AdmitOffice(b.Line(), TableKind::Tab(), setup), state);
  EXPECT_EQ(state.LineState + std::string(state.TableExt.Ext()), "conectandotbl");
  fs::remove_all(root);
}

}  // namespace
}  // namespace marvolen
