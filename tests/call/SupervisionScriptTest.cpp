#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "CallHarness.h"
#include "call/LineAssembler.h"
#include "call/LineTokens.h"
#include "platform/DosTime.h"
#include "platform/LocalTime.h"
#include "tests/RecordingFileOps.h"
#include "tests/ScratchDir.h"

namespace marvolen::testing {
namespace {

namespace fs = std::filesystem;

const std::string kAckLine = std::string(AckToken) + '\r';

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An admitted office that echoes every command and acknowledges it once it is done.
class ScriptTest : public ::testing::Test {
 protected:
  ScriptTest()
      : root_(scratch::NewScratchDir("script")),
        h_((fs::create_directories(root_ / "home"), root_ / "home")) {
    fs::create_directories(root_ / "work" / "loc07");
    saved_cwd_ = fs::current_path();
  }
  ~ScriptTest() override { fs::remove_all(root_); }

  void Admit(const std::string& ident_flags = "S") {
    office_.Admit(ident_flags);
    ASSERT_EQ(h_.state.LineState, "conectado");
  }
  void Answer() { office_.Answer(); }
  void RunCall(int limit = 2000) { office_.RunCall(limit); }

  fs::path root_;
  CallHarness h_;
  fs::path saved_cwd_;
  PlayedOffice office_{h_, root_ / "work" / "loc07", true, {}, 0};
  size_t& seen_ = office_.seen;
  bool& acknowledge_ = office_.acknowledge;
  std::vector<std::string>& commands_ = office_.commands;
};

TEST_F(ScriptTest, OfficeWithNothingToDoGoesStraightToSuccessAndDismissal) {
  Admit("N");
  RunCall();
  const std::string msg(MessageToken);
  EXPECT_EQ(commands_,
            (std::vector<std::string>{msg + "Tablas ya actualizadas\r",
                                      msg + "Tr\xE1"
                                            "fico ya enviado\r",
                                      msg + "Comunicaci\xF3n exitosa\r", "Salir03015\r"}));
  EXPECT_EQ(h_.Logged("Comunicación exitosa"), 1);
  EXPECT_EQ(h_.Logged("Comunicación abortada!!!!"), 0);
  EXPECT_EQ(h_.state.LineState, "esperando");
  EXPECT_EQ(fs::current_path(), saved_cwd_);  // never changed during the call
}

TEST_F(ScriptTest, FullCallSendsTablesDeletesFilesTrafficAndSetsTheClock) {
  std::ofstream(root_ / "home" / "envio.zip") << "PK-archive";
  Admit("S");
  h_.state.TableExt = TableKind::Tab();
  // A byte Windows-1252 leaves undefined goes back to the office as it came.
  h_.state.Office.DeleteList = "tablas\\VIEJ\x90.TAB";
  h_.state.Office.SyncClock = 1;
  const fs::path office = root_ / "work" / "loc07";
  std::ofstream(office / "of7.TRF") << "old;";
  h_.line.on_receive = [](const fs::path& dir) { std::ofstream(dir / "trafico.TRF") << "traffic"; };
  RunCall();

  EXPECT_EQ(h_.line.files_sent, (std::vector<std::string>{"PK-archive"}));
  ASSERT_GE(commands_.size(), 7u);
  EXPECT_EQ(commands_[0], "Recibir dato\r");
  EXPECT_EQ(commands_[1],
            std::string(MessageToken) + "Borrando Tabla no utilizada: tablas\\VIEJ\x90.TAB\r");
  EXPECT_EQ(commands_[2], "DEL tablas\\VIEJ\x90.TAB\r");
  EXPECT_EQ(commands_[3], "Enviar  datoTRAFICO\\trafico.TRF\r");
  EXPECT_EQ(commands_[4], std::string(MessageToken) +
                              "Borrando Tr\xE1"
                              "fico\r");
  EXPECT_EQ(commands_[5], "DEL TRAFICO\\TRAFICO.TRF\r");
  // 7 December 2026, 10:00 UTC plus the call so far, in local time.
  const std::string stamp = FormatDdMmYyyyHhMmSs(ToLocal(h_.clock.WallNow())).substr(0, 8);
  EXPECT_EQ(commands_[6].substr(0, 7), ClockToken);
  EXPECT_EQ(commands_[6].substr(7, 8), stamp);
  EXPECT_EQ(commands_.back(), "Salir03015\r");

  // The traffic was filed under its time stamp and appended to the cumulative file.
  EXPECT_EQ(ReadFile(office / "of7.TRF"), "old;traffic");
  int stamped = 0;
  for (const auto& e : fs::directory_iterator(office)) {
    const std::string name = e.path().filename().string();
    if (name.size() == 18 && name.substr(14) == ".trf") {
      ++stamped;
      EXPECT_EQ(ReadFile(e.path()), "traffic");
    }
  }
  EXPECT_EQ(stamped, 1);
  EXPECT_EQ(h_.Logged("Comunicación abortada!!!!"), 0);
}

TEST_F(ScriptTest, TblOfficeKeepsNoCumulativeTrafficFile) {
  Admit("T");
  const fs::path office = root_ / "work" / "loc07";
  h_.line.on_receive = [](const fs::path& dir) { std::ofstream(dir / "TRAFICO.BAK") << "t"; };
  RunCall();
  EXPECT_TRUE(fs::exists(office / "TRAFICO.TRF"));  // the backup was renamed into place
  EXPECT_FALSE(fs::exists(office / "of7.TRF"));
}

TEST_F(ScriptTest, ExplicitDayRangeIsCollectedOnceAndTheStartIsCleared) {
  Admit("N");
  h_.state.Office.DayFirst = h_.state.Office.DayLast = DateSerial(2026, 12, 1);
  RunCall();
  EXPECT_EQ(std::count(commands_.begin(), commands_.end(), "Enviar  dato01122026.daw \r"), 1);
  EXPECT_EQ(h_.params, (std::vector<std::string>{"inicio *.daw=0"}));
}

TEST_F(ScriptTest, OpenDayRangeRunsToTodayAndRestartsFromToday) {
  Admit("N");
  const int today = LocalDateSerial(h_.clock.WallNow());
  h_.state.Office.DayFirst = today - 3;
  h_.state.Office.DayLast = 0;
  RunCall();
  std::string names;
  for (int d = today - 3; d <= today; ++d) {
    const CivilDate c = CivilFromSerial(d);
    names += FormatDdMmYyyy({c.year, c.month, c.day}) + ".daw ";
  }
  EXPECT_EQ(std::count(commands_.begin(), commands_.end(), "Enviar  dato" + names + "\r"), 1);
  EXPECT_EQ(h_.params, (std::vector<std::string>{"inicio *.daw=" + std::to_string(today)}));
}

TEST_F(ScriptTest, DismissalFieldsKeepTheirLastDigits) {
  Admit("N");
  h_.state.Office.RetryCount = static_cast<int8_t>(200);  // -56 as a signed byte
  h_.state.Office.RetryPeriod = 1234;
  RunCall();
  EXPECT_EQ(commands_.back(), "Salir56234\r");
}

TEST_F(ScriptTest, FailedTransferAbortsTheCall) {
  std::ofstream(root_ / "home" / "envio.zip") << "zip";
  Admit("N");
  h_.line.send_result = "Transferencia Cancelada";
  RunCall();
  EXPECT_EQ(h_.state.LineState, "esperando");
  EXPECT_EQ(h_.Logged("Enviando archivo!.....Transferencia Cancelada"), 1);
  EXPECT_EQ(h_.Logged("Comunicación abortada!!!!"), 1);
}

TEST_F(ScriptTest, OfficeThatStopsAcknowledgingStallsOut) {
  Admit("N");
  acknowledge_ = false;
  RunCall(5000);
  EXPECT_EQ(h_.state.LineState, "esperando");
  EXPECT_EQ(h_.Logged("Comunicación abortada!!!!"), 1);
  EXPECT_EQ(commands_.size(), 1u);
}

TEST_F(ScriptTest, AcknowledgementWithTrailingTextCountsAndShortCommandsNeverEcho) {
  Admit("N");
  h_.Tick();  // step 0 sends its message
  const auto sent = h_.line.sent.size();
  const std::string message = h_.line.sent.back();
  // The acknowledgement empties the last command: neither the empty line behind it (the same
  // first seven characters, none, but a command that short is never echoed) nor a late echo
  // of the acknowledged message gets the go token.
  h_.line.Arrive(std::string(AckToken) + "extra\r\r" + message);
  h_.Tick();
  EXPECT_EQ(h_.state.ScriptStep, script::kDeleteTable);
  EXPECT_EQ(h_.line.sent.size(), sent);  // no go token
}

TEST_F(ScriptTest, AnEndlessLineIsDroppedAndTheAcknowledgementBehindItCounts) {
  Admit("N");
  h_.Tick();  // step 0 sends its message
  h_.line.Arrive(std::string(kMaxLineLength, 'x') + std::string(AckToken) + "\r");
  h_.Tick();
  EXPECT_EQ(h_.state.ScriptStep, script::kDeleteTable);
}

TEST_F(ScriptTest, BytesBehindATransferAreScannedInTheSameTick) {
  std::ofstream(root_ / "home" / "envio.zip") << "zip";
  Admit("N");
  h_.Tick();  // step 0: "Recibir dato"
  h_.line.Arrive("Recibir dato\r");
  h_.line.after_transfer = kAckLine;
  h_.Tick();
  EXPECT_EQ(h_.line.files_sent.size(), 1u);
  EXPECT_EQ(h_.state.ScriptStep, script::kDeleteTable);
}

TEST_F(ScriptTest, UnknownStepAbortsTheCall) {
  Admit("N");
  h_.state.ScriptStep = 8;  // between the parameters and the clock: no step
  h_.Tick();
  EXPECT_EQ(h_.state.LineState, "esperando");
  EXPECT_EQ(h_.Logged("Comunicación abortada!!!!"), 1);
}

std::vector<std::string> FilesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The disk fills while the traffic is filed, at each write or the final rename in turn: no
// short or half-appended file is left, "Borrado de Tráfico" is not logged and the office is
// never told to delete its traffic.
TEST_F(ScriptTest, TrafficFilingThatFailsLeavesNothingAndKeepsTheOfficesTraffic) {
  enum FailAt { kStampWrite, kCumulativeWrite, kCumulativeRename, kStampRename };
  for (const FailAt where : {kStampWrite, kCumulativeWrite, kCumulativeRename, kStampRename}) {
    SCOPED_TRACE(where);
    h_.state.LineState.clear();
    h_.line.carrier = false;
    const fs::path office = root_ / "work" / "loc07";
    fs::remove_all(office);
    fs::create_directories(office);
    std::ofstream(office / "of7.TRF") << "old;";
    const FileOps& sys = SystemFileOps();
    int writes = 0, renames = 0;
    h_.file_ops.write = [&](int fd, const void* data, size_t size) -> ssize_t {
      const int fail_at = where == kStampWrite ? 0 : where == kCumulativeWrite ? 2 : -1;
      if (writes++ == fail_at) return errno = ENOSPC, -1;
      return sys.write(fd, data, size);
    };
    h_.file_ops.rename = [&](const char* from, const char* to) {
      const int fail_at = where == kStampRename ? 0 : where == kCumulativeRename ? 1 : -1;
      if (renames++ == fail_at) return errno = ENOSPC, -1;
      return sys.rename(from, to);
    };
    Admit("S");
    h_.state.TableExt = TableKind::Tab();
    h_.line.on_receive = [](const fs::path& dir) {
      std::ofstream(dir / "trafico.TRF") << "traffic";
    };
    commands_.clear();
    h_.log.clear();
    std::string error;
    std::error_code code;
    try {
      RunCall();
    } catch (const FileError& e) {
      error = e.what();
      code = e.code();
    }
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_EQ(code, std::errc::no_space_on_device);
    EXPECT_EQ(ReadFile(office / "of7.TRF"), "old;");
    EXPECT_EQ(FilesIn(office), (std::vector<std::string>{"of7.TRF", "trafico.TRF"}));
    EXPECT_EQ(h_.Logged("Borrado de Tráfico"), 0);
    EXPECT_EQ(std::count(commands_.begin(), commands_.end(), "DEL TRAFICO\\TRAFICO.TRF\r"), 0);
    h_.state.LineState.clear();
    h_.file_ops = sys;
  }
}

// The filed copies reach the disk (synced, renamed, directory synced) before the office
// hears "Borrando Tráfico" or "DEL"; a directory that cannot be synced stops the call there.
TEST_F(ScriptTest, TrafficIsDurableBeforeTheOfficeIsToldToDeleteIt) {
  for (const bool fail_dir_sync : {false, true}) {
    SCOPED_TRACE(fail_dir_sync);
    RecordingFileOps rec;
    rec.fail_dir_fsync = fail_dir_sync;
    h_.file_ops = rec.ops;
    h_.line.on_send = [&](std::string_view bytes) {
      if (bytes.starts_with("DEL TRAFICO")) rec.Note("sent DEL");
      if (bytes.find("Borrando Tr") != std::string_view::npos) rec.Note("sent Borrando");
    };
    h_.state.LineState.clear();
    h_.line.carrier = false;
    Admit("S");
    h_.state.TableExt = TableKind::Tab();
    h_.line.on_receive = [fail_dir_sync](const fs::path& dir) {
      std::ofstream(dir / "trafico.TRF") << (fail_dir_sync ? "second" : "traffic");
    };
    try {
      RunCall();
      EXPECT_FALSE(fail_dir_sync);
    } catch (const FileError& e) {
      EXPECT_TRUE(fail_dir_sync) << e.what();
    }
    std::vector<std::string> order;
    std::string stamped;
    for (const std::string& line : rec.log) {
      // The office's own files (the last call's traffic removed before the request) aside.
      if (line.starts_with("write") || line.find("trafico") != std::string::npos) continue;
      order.push_back(line);
      if (line.starts_with("rename") && line.ends_with(".trf"))
        stamped = line.substr(line.rfind(' ') + 1);
    }
    std::vector<std::string> expected{"fsync tmp(" + stamped + ")", "fsync tmp(of7.TRF)",
                                      "rename tmp(" + stamped + ") " + stamped, "fsync dir loc07"};
    // Abandoned, the cumulative file's temporary copy goes.
    if (fail_dir_sync) expected.emplace_back("unlink tmp(of7.TRF)");
    if (!fail_dir_sync) {
      for (const char* line :
           {"rename tmp(of7.TRF) of7.TRF", "fsync dir loc07", "sent Borrando", "sent DEL"})
        expected.emplace_back(line);
    }
    EXPECT_EQ(order, expected);
  }
  h_.file_ops = SystemFileOps();
  h_.line.on_send = nullptr;
}

// Traffic is compared with the office's most recent filing only. The same bytes sent again
// (the call that filed them ended before the office got "DEL") are not filed twice: the office
// is told to delete its copy all the same, the operator reads under which name they are filed,
// and a "tab" office whose cumulative file missed them (the call stopped between the two
// renames) has them appended once. The bytes of an older filing are new traffic (an empty day
// twice): filed, stamped copy and cumulative file alike. A copy that cannot be read blocks
// nothing; when it is the most recent one, the traffic is filed and the copy named.
TEST_F(ScriptTest, TrafficIsFiledUnlessTheMostRecentFilingHoldsIt) {
  const fs::path office = root_ / "work" / "loc07";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> before;  // filed copies, oldest first
    const char* unreadable;                                   // a copy no read gets through
    std::vector<std::string> sent;                            // each call's traffic
    std::string already;  // each call: 'y' already filed, 'n' filed now
    std::string cumulative;
    bool lost_cumulative = false;  // the first call's append undone, as a stop would leave it
    bool at_once = false;          // the copies before written at one instant
  };
  const Case cases[] = {
      {"sent again", {}, nullptr, {"A;", "A;", "A;"}, "nyy", "old;A;"},
      {"cumulative missed it", {}, nullptr, {"A;", "A;", "A;"}, "nyy", "old;A;", true},
      {"an older filing's bytes", {}, nullptr, {"A;", "B;", "A;", "A;"}, "nnny", "old;A;B;A;"},
      {"older copy unreadable",
       {{"01122026080000.trf", "A;"}, {"02122026080000.trf", "B;"}},
       "01122026080000.trf",
       {"A;"},
       "n",
       "old;A;"},
      {"latest copy unreadable",
       {{"02122026080000.trf", "A;"}},
       "02122026080000.trf",
       {"A;", "A;"},
       "ny",
       "old;A;"},
      // Which one is the most recent cannot be told: filed rather than lost.
      {"copies written at once",
       {{"01122026080000.trf", "A;"}, {"02122026080000.trf", "A;"}},
       nullptr,
       {"A;"},
       "n",
       "old;A;",
       false,
       true},
  };
  const auto filed_copies = [&] {
    std::vector<std::string> filed;
    for (const std::string& name : FilesIn(office))
      if (name.ends_with(".trf")) filed.push_back(name);
    return filed;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(office);
    fs::create_directories(office);
    std::ofstream(office / "of7.TRF") << "old;";
    // Calls minutes apart, their copies written in that order, whatever the file clock's grain.
    auto written = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const auto& [name, bytes] : c.before) {
      std::ofstream(office / name) << bytes;
      fs::last_write_time(office / name, written += std::chrono::minutes(c.at_once ? 0 : 1));
    }
    const FileOps& sys = SystemFileOps();
    const std::string unreadable = c.unreadable ? (office / c.unreadable).string() : "";
    h_.file_ops.open = [&](const char* path, int flags, mode_t mode) {
      if (path == unreadable) return errno = EIO, -1;
      return sys.open(path, flags, mode);
    };
    std::string filed_name;
    for (size_t call = 0; call < c.sent.size(); ++call) {
      SCOPED_TRACE(call);
      const std::vector<std::string> filed_before = filed_copies();
      h_.state.LineState.clear();
      h_.line.carrier = false;
      h_.line.sent.clear();
      seen_ = 0;
      h_.log.clear();
      Admit("S");
      h_.state.TableExt = TableKind::Tab();
      h_.line.on_receive = [&](const fs::path& dir) {
        std::ofstream(dir / "trafico.TRF") << c.sent[call];
      };
      RunCall();
      EXPECT_EQ(h_.line.CountSent("DEL TRAFICO\\TRAFICO.TRF\r"), 1);
      const std::vector<std::string> filed = filed_copies();
      if (c.already[call] == 'y') {
        EXPECT_EQ(filed, filed_before);
        EXPECT_EQ(h_.Logged("Tráfico ya archivado como " + filed_name), 1);
      } else {
        EXPECT_EQ(filed.size(), filed_before.size() + 1);
        for (const std::string& name : filed) {
          if (std::find(filed_before.begin(), filed_before.end(), name) != filed_before.end())
            continue;
          filed_name = name;
          EXPECT_EQ(ReadFile(office / name), c.sent[call]);
          fs::last_write_time(office / name, written += std::chrono::minutes(1));
        }
        EXPECT_EQ(h_.Logged("Tráfico ya archivado como " + filed_name), 0);
      }
      if (call == 0 && c.lost_cumulative) std::ofstream(office / "of7.TRF") << "old;";
    }
    EXPECT_EQ(ReadFile(office / "of7.TRF"), c.cumulative);
    // Only the most recent copy is ever read: the unreadable one is named when it is that one.
    const bool latest_unreadable =
        c.unreadable && c.before.size() > 0 && c.before.back().first == c.unreadable;
    EXPECT_EQ(h_.window.Count("Copia de tráfico archivada ilegible, se archiva el tráfico: "
                              "No se puede leer el archivo " +
                              unreadable + ": " + std::generic_category().message(EIO)),
              latest_unreadable ? 1 : 0);
    h_.file_ops = sys;
  }
}

// The files of the traffic request are found and removed whatever their letter case, and
// the office is told which members it may send.
TEST_F(ScriptTest, TrafficNamesAreFoundInAnyLetterCase) {
  const fs::path office = root_ / "work" / "loc07";
  for (const char* name : {"RECIBO.ZIP", "Trafico.Trf", "TRAFICO.TRF", "trafico.BAK"}) {
    std::ofstream(office / name) << "old";
  }
  std::ofstream(office / "OF7.trf") << "old;";
  Admit("S");
  h_.state.TableExt = TableKind::Tab();
  h_.state.Office.DayFirst = h_.state.Office.DayLast = DateSerial(2026, 12, 1);
  std::vector<std::string> left_at_receive;
  h_.line.on_receive = [&](const fs::path& dir) {
    if (h_.line.wanted.size() != 1) return;  // the day files
    left_at_receive = FilesIn(office);
    std::ofstream(dir / "Trafico.Bak") << "traffic";
  };
  RunCall();
  EXPECT_EQ(left_at_receive, (std::vector<std::string>{"OF7.trf"}));
  EXPECT_EQ(ReadFile(office / "OF7.trf"), "old;traffic");
  EXPECT_FALSE(fs::exists(office / "of7.TRF"));
  EXPECT_EQ(h_.Logged("Borrado de Tráfico"), 1);
  EXPECT_EQ(h_.line.wanted, (std::vector<std::vector<std::string>>{{"trafico.TRF", "TRAFICO.BAK"},
                                                                   {"01122026.daw"}}));
  // Both are received into the office's directory, whatever the current directory is.
  EXPECT_EQ(h_.line.receive_dirs, (std::vector<fs::path>{office, office}));
}

// Day serials no MS-DOS date can hold ask for nothing, are reported once, and leave the
// parameter as it is. An over-long range asks for its oldest 366 days, says how many remain,
// and moves "inicio *.daw" on to the first day not asked, so that the next calls fetch the
// rest; "ultimo *.daw" is left as it is, so an explicit range stays explicit.
TEST_F(ScriptTest, DayRangesOutsideTheDosDatesAreReportedAndLongOnesAreFetchedAYearAtATime) {
  struct Case {
    int first, last;
    size_t names;  // 0: refused
    std::string last_name;
    int next_first;  // "inicio *.daw" afterwards
    int remaining;   // days left for the next calls
  };
  const int today = LocalDateSerial(h_.clock.WallNow());
  const auto name = [](int serial) {
    const CivilDate d = CivilFromSerial(serial);
    return FormatDdMmYyyy({d.year, d.month, d.day}) + ".daw";
  };
  const int y1980 = DateSerial(1980, 1, 1), y2107 = DateSerial(2107, 12, 31);
  const std::vector<Case> cases = {
      {DateSerial(2026, 12, 1), 31122026, 0, "", 0, 0},
      {2147483646, 2147483647, 0, "", 0, 0},
      {DateSerial(1979, 12, 31), 0, 0, "", 0, 0},
      {-5, -4, 0, "", 0, 0},
      {y1980, y2107, 366, "31121980.daw", DateSerial(1981, 1, 1), y2107 - DateSerial(1980, 12, 31)},
      {DateSerial(1981, 1, 1), DateSerial(1981, 12, 31), 365, "31121981.daw", 0, 0},
      {today - 400, 0, 366, name(today - 35), today - 34, 35},
      {today - 365, 0, 366, name(today), today, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + ".." + std::to_string(c.last));
    h_.state.LineState.clear();
    h_.line.carrier = false;
    Admit("N");
    h_.state.Office.DayFirst = c.first;
    h_.state.Office.DayLast = c.last;
    commands_.clear();
    h_.log.clear();
    h_.params.clear();
    const size_t lines = h_.window.lines.size();
    RunCall();
    std::string request;
    for (const std::string& cmd : commands_) {
      if (cmd.rfind("Enviar  dato", 0) == 0) request = cmd;
    }
    const auto count = [&](std::string_view start) {
      size_t logged = 0, shown = 0;
      for (const std::string& l : h_.log) logged += l.rfind(start, 0) == 0;
      for (size_t i = lines; i < h_.window.lines.size(); ++i) {
        shown += h_.window.lines[i].rfind(start, 0) == 0;
      }
      EXPECT_EQ(logged, shown) << start;
      return logged;
    };
    if (c.names == 0) {
      EXPECT_EQ(request, "");
      EXPECT_EQ(count("Archivos *.daw no pedidos"), 1u);
      EXPECT_TRUE(h_.params.empty());
      continue;
    }
    EXPECT_EQ(count("Archivos *.daw no pedidos"), 0u);
    EXPECT_EQ(std::count(request.begin(), request.end(), ' '), static_cast<long>(c.names + 2));
    EXPECT_EQ(request.substr(12, 13), name(c.first) + " ");
    EXPECT_EQ(request.substr(request.size() - 14), c.last_name + " \r");
    EXPECT_EQ(h_.params, std::vector<std::string>{"inicio *.daw=" + std::to_string(c.next_first)});
    const std::string remain = "Archivos *.daw: se piden 366 días, quedan " +
                               std::to_string(c.remaining) + " para las próximas llamadas";
    EXPECT_EQ(count("Archivos *.daw: se piden"), c.remaining > 0 ? 1u : 0u);
    if (c.remaining > 0) {
      EXPECT_EQ(h_.Logged(remain), 1);
    }
  }
}

}  // namespace
}  // namespace marvolen::testing
