// The office's side of a call against a scripted station on the virtual clock: it acts on a
// command only after echoing it and getting the go token, acknowledges what it has done, and
// ends with Salir.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "link/HayesModem.h"
#include "platform/Clock.h"
#include "sim/OfficeCall.h"
#include "sim/OfficeTokens.h"
#include "sim/RawZip.h"
#include "tests/ScratchDir.h"

namespace marvolen::office {
namespace {

namespace fs = std::filesystem;

const std::string kIdent = "Ident=00007 test half Ident=00007 test half\r";
const std::string kMsg(MessageToken);
const std::string kSuccess = kMsg + "Comunicaci\xF3n exitosa";

// Plays the station: greets, waits for the identification, then sends its commands one at a
// time, answering each echo with the go token and moving on at each acknowledgement. When it
// waits in vain it gives the call up after its stall budget and hangs up, as the station does.
class FakeStation final : public OfficeLine {
 public:
  FakeStation(VirtualClock& clock, std::vector<std::string> commands)
      : clock_(clock), commands_(std::move(commands)) {
    inbox_ = std::string(GreetingToken) + '\r';
  }

  bool withhold_go = false;
  bool repeat_greetings = false;  // greet every 10 s, five times in all, then hang up
  std::string transfer_bytes;     // sent right behind the go token of "Recibir dato"
  MonoTime answered_at{};         // the station's modem lets the call ring until then

  std::vector<std::string> heard;  // the office's lines, CR removed
  std::string raw;                 // every byte the office sent
  std::size_t go_mark = 0;         // size of `raw` when the last go token went out
  int greetings_sent = 1;
  bool office_hung_up = false;

  bool Send(std::string_view bytes) override {
    if (Down()) return false;
    raw += bytes;
    pending_ += bytes;
    for (std::size_t cr; (cr = pending_.find('\r')) != std::string::npos;) {
      const std::string line = pending_.substr(0, cr);
      pending_.erase(0, cr + 1);
      OnLine(line);
    }
    return true;
  }
  std::string Receive(Millis timeout) override {
    if (Down()) return {};
    if (clock_.Now() < answered_at) {
      clock_.Advance(
          std::min(timeout, std::chrono::duration_cast<Millis>(answered_at - clock_.Now())));
      if (clock_.Now() < answered_at) return {};
    }
    if (!inbox_.empty()) return std::exchange(inbox_, std::string());
    if (repeat_greetings && heard.empty()) {
      clock_.Advance(Millis(10000));
      if (greetings_sent < 5) {
        ++greetings_sent;
        inbox_ = std::string(GreetingToken) + '\r';
      } else {
        gone_ = true;
      }
      return {};
    }
    if (dismissed_) {
      gone_ = true;
      return {};
    }
    // Nothing more is coming: the station's stall budget runs out and it hangs up.
    clock_.Advance(std::min(timeout, Millis(30000)));
    gone_ = true;
    return {};
  }
  bool Down() const override { return office_hung_up || (gone_ && inbox_.empty()); }
  void HangUp() override { office_hung_up = true; }
  void Purge() override { inbox_.clear(); }

 private:
  void OnLine(const std::string& line) {
    heard.push_back(line);
    if (line.starts_with("Ident=") || line.starts_with(AckToken)) {
      if (next_ < commands_.size()) {
        inbox_ += commands_[next_] + '\r';
        dismissed_ = commands_[next_].starts_with("Salir");
        ++next_;
      }
      return;
    }
    if (next_ > 0 && line.substr(0, 7) == commands_[next_ - 1].substr(0, 7) && !withhold_go) {
      inbox_ += GoToken;
      go_mark = raw.size();
      if (commands_[next_ - 1] == "Recibir dato") inbox_ += transfer_bytes;
    }
  }

  VirtualClock& clock_;
  std::vector<std::string> commands_;
  std::size_t next_ = 0;
  std::string inbox_, pending_;
  bool dismissed_ = false, gone_ = false;
};

// Stands in for the block transfer and the archive component.
class FakeLink final : public OfficeLink {
 public:
  std::map<std::string, std::string> deliver;  // unpacked below the staging folder
  TransferResult receive_result{true, "Transferencia OK", ""};
  TransferResult send_result{true, "Transferencia Ok", ""};
  std::size_t receive_from_line = 0;  // bytes to read off the line before unpacking
  bool send_over_line = false;        // push the archive through the line
  std::string line_bytes;
  std::vector<std::vector<std::string>> packed;
  std::vector<std::string> sent;

  TransferResult ReceiveArchive(OfficeLine& line, const fs::path& staging) override {
    while (line_bytes.size() < receive_from_line) {
      const std::string got = line.Receive(Millis(8000));
      if (got.empty() && line.Down()) return {false, "No Carrier", ""};
      line_bytes += got;
    }
    for (const auto& [rel, content] : deliver) {
      fs::create_directories((staging / rel).parent_path());
      std::ofstream(staging / rel, std::ios::binary) << content;
    }
    return receive_result;
  }
  std::string PackArchive(const std::vector<ArchiveItem>& items) override {
    std::vector<std::string> names;
    std::vector<RawEntry> entries;
    for (const ArchiveItem& i : items) {
      names.push_back(i.stored_name);
      std::ifstream in(i.file, std::ios::binary);
      entries.push_back({i.stored_name, std::string(std::istreambuf_iterator<char>(in), {})});
    }
    packed.push_back(names);
    return StoredZip(entries);
  }
  TransferResult SendArchive(OfficeLine& line, std::string_view archive) override {
    sent.emplace_back(archive);
    if (send_over_line) {
      for (std::size_t at = 0; at < archive.size(); at += 32) {
        if (!line.Send(archive.substr(at, 32))) return {false, "Sin Tono!", ""};
      }
    }
    return send_result;
  }
};

class CallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch::NewScratchDir("office-call");
    settings_.dir = dir_ / "office";
    fs::create_directories(settings_.dir);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const fs::path& rel, const std::string& bytes) {
    fs::create_directories((settings_.dir / rel).parent_path());
    std::ofstream(settings_.dir / rel, std::ios::binary) << bytes;
  }
  bool Holds(const fs::path& rel) const { return fs::exists(settings_.dir / rel); }
  CallSummary Run(FakeStation& station) {
    OfficeCall call(station, link_, clock_, settings_, log_);
    return call.Run(kIdent);
  }

  fs::path dir_;
  VirtualClock clock_;
  FakeLink link_;
  CallSettings settings_;
  std::ostringstream log_;
};

TEST_F(CallTest, AWholeCallIsEchoedCarriedOutAndAcknowledged) {
  Write("OLD.TBL", "old");
  Write("TRAFICO/TRAFICO.TRF", "traffic");
  Write("06122026.daw", "day");
  const std::vector<std::string> commands = {"Recibir dato",
                                             kMsg + "Borrando Tabla no utilizada: tablas\\OLD.TBL",
                                             "DEL tablas\\OLD.TBL",
                                             "Enviar  datoTRAFICO\\trafico.TRF",
                                             kMsg +
                                                 "Borrando Tr\xE1"
                                                 "fico",
                                             "DEL TRAFICO\\TRAFICO.TRF",
                                             "Enviar  dato06122026.daw 07122026.daw ",
                                             std::string(ClockToken) + "07122026103000",
                                             kSuccess,
                                             "Salir03015"};
  link_.deliver = {{"tablas/TARIFA.TBL", "new table"}, {"upgrade/PROGRAMA.UPG", "program"}};
  // Bytes the transfer read past its end are the call's to read next.
  link_.receive_result.leftover = std::string(GreetingToken) + '\r';
  FakeStation station(clock_, commands);
  const CallSummary s = Run(station);

  std::vector<std::string> expected_heard = {kIdent.substr(0, kIdent.size() - 1)};
  for (std::size_t i = 0; i + 1 < commands.size(); ++i) {
    expected_heard.push_back(commands[i]);  // the echo, byte for byte
    expected_heard.push_back(std::string(AckToken));
  }
  EXPECT_EQ(station.heard, expected_heard);
  EXPECT_TRUE(station.office_hung_up);

  EXPECT_EQ(s.received, (std::vector<std::string>{"TARIFA.TBL", "upgrade/PROGRAMA.UPG"}));
  EXPECT_TRUE(Holds("TARIFA.TBL"));
  EXPECT_TRUE(Holds("upgrade/PROGRAMA.UPG"));
  EXPECT_FALSE(Holds(".recibiendo"));
  EXPECT_FALSE(Holds("OLD.TBL"));
  EXPECT_FALSE(Holds("TRAFICO/TRAFICO.TRF"));
  EXPECT_EQ(s.deleted, (std::vector<std::string>{"tablas\\OLD.TBL", "TRAFICO\\TRAFICO.TRF"}));
  EXPECT_EQ(link_.packed,
            (std::vector<std::vector<std::string>>{{"TRAFICO.TRF"}, {"06122026.daw"}}));
  EXPECT_EQ(s.sent, (std::vector<std::string>{"TRAFICO.TRF", "06122026.daw"}));
  EXPECT_EQ(s.missing, std::vector<std::string>{"07122026.daw"});
  EXPECT_EQ(s.messages, (std::vector<std::string>{"Borrando Tabla no utilizada: tablas\\OLD.TBL",
                                                  "Borrando Tráfico", "Comunicación exitosa"}));
  EXPECT_EQ(s.clock, "07/12/2026 10:30:00");
  EXPECT_EQ(s.retries, "03");
  EXPECT_EQ(s.period, "015");
  EXPECT_EQ(s.acknowledged, 9);
  EXPECT_EQ(s.greetings, 2);
  EXPECT_TRUE(s.failures.empty());
  EXPECT_EQ(ExitStatus(s), 0);
  EXPECT_EQ(s.end, "dismissed by the station");
}

// A station whose modem lets the call ring (while it resets after another call) greets only
// once it answers: the office waits for that as a caller does, up to the modem's no-answer
// limit beyond its own timeout.
TEST_F(CallTest, TheGreetingIsAwaitedWhileTheCallRings) {
  settings_.timeout = Millis(30000);
  for (const auto& [ringing, greeted] :
       {std::pair{Millis(55000), true}, std::pair{kNoAnswerLimit + Millis(30001), false}}) {
    FakeStation station(clock_, {"Salir03015"});
    station.answered_at = clock_.Now() + ringing;
    const CallSummary s = Run(station);
    EXPECT_EQ(s.greetings, greeted ? 1 : 0) << ringing.count();
    EXPECT_EQ(s.dismissed, greeted) << ringing.count();
    if (!greeted) {
      EXPECT_EQ(s.end, "no greeting from the station");
    }
  }
}

TEST_F(CallTest, NothingIsDoneBeforeTheGoToken) {
  Write("OLD.TBL", "old");
  FakeStation station(clock_, {"DEL tablas\\OLD.TBL", kSuccess, "Salir03015"});
  station.withhold_go = true;
  const CallSummary s = Run(station);
  EXPECT_TRUE(Holds("OLD.TBL"));
  EXPECT_EQ(station.heard,
            (std::vector<std::string>{kIdent.substr(0, kIdent.size() - 1), "DEL tablas\\OLD.TBL"}));
  EXPECT_EQ(s.acknowledged, 0);
  EXPECT_EQ(ExitStatus(s), 1);
  EXPECT_NE(s.end.find("go token"), std::string::npos);
}

TEST_F(CallTest, DeletionsOutsideTheOfficeAreRefusedButAcknowledged) {
  std::ofstream(dir_ / "secret.txt") << "keep";
  FakeStation station(clock_, {"DEL ..\\secret.txt", "DEL tablas\\..\\..\\secret.txt",
                               "DEL /secret.txt", kSuccess, "Salir00000"});
  const CallSummary s = Run(station);
  EXPECT_TRUE(fs::exists(dir_ / "secret.txt"));
  EXPECT_EQ(s.refused, (std::vector<std::string>{"..\\secret.txt", "tablas\\..\\..\\secret.txt",
                                                 "/secret.txt"}));
  EXPECT_EQ(s.acknowledged, 4);
  EXPECT_EQ(ExitStatus(s), 0);
}

TEST_F(CallTest, SalirWithoutSuccessAndSuccessWithoutSalirBothFail) {
  FakeStation no_success(clock_, {kMsg + "Tablas ya actualizadas", "Salir03015"});
  const CallSummary a = Run(no_success);
  EXPECT_TRUE(a.dismissed);
  EXPECT_EQ(ExitStatus(a), 1);

  FakeStation no_salir(clock_, {kSuccess});
  const CallSummary b = Run(no_salir);
  EXPECT_TRUE(b.success_message);
  EXPECT_FALSE(b.dismissed);
  EXPECT_EQ(b.end, "the station hung up");
  EXPECT_EQ(ExitStatus(b), 1);
}

TEST_F(CallTest, StoppingAcknowledgementsStallsTheStation) {
  settings_.misbehave.stop_ack_after = 2;
  FakeStation station(clock_, {kMsg + "a", kMsg + "b", kMsg + "c", kSuccess, "Salir03015"});
  const CallSummary s = Run(station);
  EXPECT_EQ(s.acknowledged, 2);
  EXPECT_EQ(s.commands.size(), 3u);
  EXPECT_EQ(std::count(station.heard.begin(), station.heard.end(), std::string(AckToken)), 2);
  EXPECT_EQ(station.heard.back(), kMsg + "c");  // echoed, never acknowledged
  EXPECT_EQ(ExitStatus(s), 1);
}

TEST_F(CallTest, NeverIdentifyingSitsOutEveryGreeting) {
  settings_.misbehave.never_identify = true;
  FakeStation station(clock_, {kSuccess, "Salir03015"});
  station.repeat_greetings = true;
  const CallSummary s = Run(station);
  EXPECT_EQ(s.greetings, 5);
  EXPECT_FALSE(s.identified);
  EXPECT_TRUE(station.raw.empty());
  EXPECT_EQ(ExitStatus(s), 1);
}

TEST_F(CallTest, HangingUpOnTheIdentificationAnswersNothingElse) {
  settings_.misbehave.hang_up_on_ident = true;
  FakeStation station(clock_, {kMsg + "a", kSuccess, "Salir03015"});
  const CallSummary s = Run(station);
  EXPECT_TRUE(s.identified);
  EXPECT_TRUE(s.commands.empty());
  EXPECT_EQ(station.raw, kIdent);
  EXPECT_TRUE(station.office_hung_up);
  EXPECT_EQ(ExitStatus(s), 1);
}

TEST_F(CallTest, DroppingTheLineWhileSendingCutsTheFirstFrame) {
  Write("TRAFICO/TRAFICO.TRF", std::string(3000, 't'));
  settings_.misbehave.drop = DropDuring::Send;
  link_.send_over_line = true;
  FakeStation station(clock_, {"Enviar  datoTRAFICO\\trafico.TRF", kSuccess, "Salir03015"});
  const CallSummary s = Run(station);
  EXPECT_EQ(station.raw.size() - station.go_mark, 64u);
  EXPECT_TRUE(station.office_hung_up);
  EXPECT_EQ(s.acknowledged, 0);
  EXPECT_TRUE(Holds("TRAFICO/TRAFICO.TRF"));
  EXPECT_EQ(s.failures, std::vector<std::string>{"sending: Sin Tono!"});
  EXPECT_EQ(ExitStatus(s), 1);
}

TEST_F(CallTest, DroppingTheLineWhileReceivingPlacesNothing) {
  settings_.misbehave.drop = DropDuring::Receive;
  link_.receive_from_line = 1029;
  link_.deliver = {{"tablas/TARIFA.TBL", "new"}};
  FakeStation station(clock_, {"Recibir dato", kSuccess, "Salir03015"});
  station.transfer_bytes = std::string(1029, 'x');
  const CallSummary s = Run(station);
  EXPECT_EQ(link_.line_bytes.size(), 64u);
  EXPECT_TRUE(station.office_hung_up);
  EXPECT_FALSE(Holds("TARIFA.TBL"));
  EXPECT_TRUE(s.received.empty());
  EXPECT_EQ(ExitStatus(s), 1);
}

TEST_F(CallTest, AFailedReceiveIsNotAcknowledged) {
  link_.receive_result = {false, "No se pudo abrir archivo", ""};
  link_.deliver = {{"tablas/TARIFA.TBL", "new"}};
  FakeStation station(clock_, {"Recibir dato", kSuccess, "Salir03015"});
  const CallSummary s = Run(station);
  EXPECT_EQ(s.acknowledged, 0);
  EXPECT_FALSE(Holds("TARIFA.TBL"));
  EXPECT_FALSE(Holds(".recibiendo"));
  EXPECT_EQ(s.failures, std::vector<std::string>{"receiving: No se pudo abrir archivo"});
  EXPECT_EQ(ExitStatus(s), 1);
}

TEST_F(CallTest, MissingFilesGiveAnEmptyArchive) {
  FakeStation station(clock_, {"Enviar  dato01012026.daw 02012026.daw ", kSuccess, "Salir03015"});
  const CallSummary s = Run(station);
  ASSERT_EQ(link_.sent.size(), 1u);
  EXPECT_EQ(link_.sent[0], StoredZip({}));
  EXPECT_TRUE(link_.packed.empty());
  EXPECT_EQ(s.missing, (std::vector<std::string>{"01012026.daw", "02012026.daw"}));
  EXPECT_EQ(ExitStatus(s), 0);
}

TEST_F(CallTest, BadArchivesAreSentWhenAskedFor) {
  Write("TRAFICO/TRAFICO.TRF", "traffic");
  const std::vector<std::string> commands = {"Enviar  datoTRAFICO\\trafico.TRF", kSuccess,
                                             "Salir03015"};
  settings_.misbehave.archive = ArchiveFault::Hostile;
  FakeStation hostile_station(clock_, commands);
  Run(hostile_station);
  ASSERT_EQ(link_.sent.size(), 1u);
  for (const std::string& name :
       {std::string("TRAFICO.TRF"), std::string("../escape.txt"),
        std::string("..\\escape-backslash.txt"), AbsoluteEscapeName(settings_.dir),
        std::string("C:/escape-drive.txt"), std::string("MARVOLEN.TCP")}) {
    EXPECT_NE(link_.sent[0].find(name), std::string::npos) << name;
  }
  EXPECT_TRUE(link_.packed.empty());

  settings_.misbehave.archive = ArchiveFault::Corrupt;
  FakeStation corrupt_station(clock_, commands);
  Run(corrupt_station);
  ASSERT_EQ(link_.sent.size(), 2u);
  EXPECT_EQ(link_.sent[1], BreakCentralDirectory(StoredZip({{"TRAFICO.TRF", "traffic"}})));
  EXPECT_NE(link_.sent[1], StoredZip({{"TRAFICO.TRF", "traffic"}}));
}

}  // namespace
}  // namespace marvolen::office
