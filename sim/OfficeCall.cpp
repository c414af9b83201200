#include "sim/OfficeCall.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <system_error>
#include <utility>

#include "link/HayesModem.h"
#include "platform/CodePage.h"
#include "sim/OfficeTokens.h"
#include "sim/RawZip.h"

namespace marvolen::office {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kReceiveCommand = "Recibir dato";
constexpr std::string_view kSendCommand = "Enviar  dato";
constexpr std::string_view kDeleteCommand = "DEL ";
constexpr std::string_view kDismissCommand = "Salir";
constexpr std::string_view kSuccessMessage = "Comunicación exitosa";
constexpr char kNak = 0x15;
// Where a received archive is unpacked before its files are put in place.
constexpr const char* kStagingFolder = ".recibiendo";
// How far into a transfer the line is dropped when a test asks for it: inside the first
// frame whatever the block size.
constexpr std::size_t kDropAfterBytes = 64;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

enum class Kind { Receive, Send, Delete, Message, Clock };

struct Command {
  Kind kind;
  std::string_view rest;  // what follows the command's fixed start
};

std::optional<Command> Classify(std::string_view line) {
  static constexpr std::pair<std::string_view, Kind> kStarts[] = {{kReceiveCommand, Kind::Receive},
                                                                  {kSendCommand, Kind::Send},
                                                                  {kDeleteCommand, Kind::Delete},
                                                                  {MessageToken, Kind::Message},
                                                                  {ClockToken, Kind::Clock}};
  for (const auto& [start, kind] : kStarts) {
    if (StartsWith(line, start)) return Command{kind, line.substr(start.size())};
  }
  return std::nullopt;
}

// The line bytes the readers of both ends skip wherever they arrive.
bool Skipped(char c) {
  return c == 8 || c == 10 || c == 11 || c == 12;
}

// Passes bytes through until `limit` have gone in the watched direction, then hangs up.
class DroppingLine final : public OfficeLine {
 public:
  DroppingLine(OfficeLine& inner, bool on_send) : inner_(inner), on_send_(on_send) {}

  bool Send(std::string_view bytes) override {
    if (!on_send_ || Down()) return !Down() && inner_.Send(bytes);
    const std::size_t room = kDropAfterBytes - count_;
    if (bytes.size() < room) {
      count_ += bytes.size();
      return inner_.Send(bytes);
    }
    inner_.Send(bytes.substr(0, room));
    HangUp();
    return false;
  }
  std::string Receive(Millis timeout) override {
    if (Down()) return {};
    std::string got = inner_.Receive(timeout);
    if (on_send_) return got;
    if (count_ + got.size() >= kDropAfterBytes) {
      got.resize(kDropAfterBytes - count_);
      HangUp();
    }
    count_ += got.size();
    return got;
  }
  bool Down() const override { return dropped_ || inner_.Down(); }
  void HangUp() override {
    dropped_ = true;
    inner_.HangUp();
  }
  void Purge() override { inner_.Purge(); }

 private:
  OfficeLine& inner_;
  bool on_send_;
  std::size_t count_ = 0;
  bool dropped_ = false;
};

// Holds each send back by `pause`: an office that sends its file a block now and then.
class SlowLine final : public OfficeLine {
 public:
  SlowLine(OfficeLine& inner, Clock& clock, Millis pause)
      : inner_(inner), clock_(clock), pause_(pause) {}

  bool Send(std::string_view bytes) override {
    clock_.Sleep(pause_);
    return inner_.Send(bytes);
  }
  std::string Receive(Millis timeout) override { return inner_.Receive(timeout); }
  bool Down() const override { return inner_.Down(); }
  void HangUp() override { inner_.HangUp(); }
  void Purge() override { inner_.Purge(); }

 private:
  OfficeLine& inner_;
  Clock& clock_;
  Millis pause_;
};

std::string ReadWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Names an archive entry may carry that must never land outside the folder it is unpacked in,
// and the parameter file that must never be replaced from the line. The absolute name aims at
// the office's own directory, so that a station that followed it would harm nothing another
// run shares.
std::vector<RawEntry> HostileEntries(const fs::path& office_dir) {
  return {{"../escape.txt", "escaped\r\n"},
          {"..\\escape-backslash.txt", "escaped\r\n"},
          {AbsoluteEscapeName(office_dir), "escaped\r\n"},
          {"C:/escape-drive.txt", "escaped\r\n"},
          {"MARVOLEN.TCP", std::string(4004, '\xFF')}};
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : ", ") + i;
  return out.empty() ? "-" : out;
}

}  // namespace

int ExitStatus(const CallSummary& s) {
  return s.success_message && s.dismissed ? 0 : 1;
}

void PrintSummary(std::ostream& out, const CallSummary& s) {
  out << "---- call summary ----\n"
      << "greetings:    " << s.greetings << "\n"
      << "identified:   " << (s.identified ? "yes" : "no") << "\n"
      << "commands:     " << s.commands.size() << "\n";
  for (const std::string& c : s.commands) out << "  " << c << "\n";
  out << "acknowledged: " << s.acknowledged << "\n"
      << "received:     " << Join(s.received) << "\n"
      << "deleted:      " << Join(s.deleted) << "\n"
      << "sent:         " << Join(s.sent) << "\n"
      << "missing:      " << Join(s.missing) << "\n"
      << "refused:      " << Join(s.refused) << "\n"
      << "messages:     " << Join(s.messages) << "\n"
      << "clock:        " << s.clock.value_or("-") << "\n"
      << "salir:        "
      << (s.dismissed ? "retries " + s.retries.value_or("") + ", period " + s.period.value_or("")
                      : std::string("-"))
      << "\n"
      << "failures:     " << Join(s.failures) << "\n"
      << "result:       " << (ExitStatus(s) == 0 ? "success" : "FAILED") << " (" << s.end << ")\n";
  out.flush();
}

OfficeCall::OfficeCall(OfficeLine& line, OfficeLink& link, Clock& clock, CallSettings settings,
                       std::ostream& log)
    : line_(line), link_(link), clock_(clock), settings_(std::move(settings)), log_(log) {}

void OfficeCall::Note(const std::string& text) {
  log_ << text << std::endl;
}

OfficeCall::Wait OfficeCall::ReadLine(std::string& line, bool stop_on_request,
                                      std::optional<Millis> silence) {
  const MonoTime deadline = clock_.Now() + silence.value_or(settings_.timeout);
  for (;;) {
    const long long left = ElapsedMs(clock_.Now(), deadline);
    if (left <= 0) return Wait::Silent;
    const std::string chunk = line_.Receive(Millis(left));
    if (chunk.empty()) {
      if (line_.Down()) return Wait::Down;
      continue;
    }
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      if (Skipped(chunk[i])) continue;
      if (chunk[i] != kCr) {
        partial_ += chunk[i];
        continue;
      }
      line = std::exchange(partial_, std::string());
      line_.Unread(std::string_view(chunk).substr(i + 1));
      return Wait::Line;
    }
    // A receiver's request without a go token before it: the transfer has started.
    if (stop_on_request && partial_.find_first_of(std::string{'C', kNak}) != std::string::npos) {
      line_.Unread(std::exchange(partial_, std::string()));
      return Wait::Request;
    }
  }
}

bool OfficeCall::WaitForGreeting() {
  std::string line;
  for (;;) {
    // Over TCP the office cannot tell the ringing from the answer: it waits as a caller whose
    // modem lets the phone ring up to the no-answer limit, then waits for the greeting.
    const Wait w = ReadLine(line, false, settings_.timeout + kNoAnswerLimit);
    if (w == Wait::Down) {
      summary_.end = "the line closed before any greeting (the station's modem did not answer)";
      return false;
    }
    if (w == Wait::Silent) {
      summary_.end = "no greeting from the station";
      return false;
    }
    if (line == GreetingToken) {
      ++summary_.greetings;
      Note("greeting received");
      return true;
    }
  }
}

void OfficeCall::SitSilent() {
  Note("not identifying (as asked); waiting for the station to give up");
  std::string line;
  for (;;) {
    const Wait w = ReadLine(line);
    if (w == Wait::Down) {
      summary_.end = "never identified; the station hung up";
      return;
    }
    if (w == Wait::Silent) {
      summary_.end = "never identified; the station fell silent";
      return;
    }
    if (line == GreetingToken) {
      ++summary_.greetings;
      Note("greeting received again");
    }
  }
}

CallSummary OfficeCall::Run(const std::string& ident_line) {
  Note("waiting for the station's greeting");
  if (WaitForGreeting()) {
    if (settings_.misbehave.never_identify) {
      SitSilent();
    } else {
      line_.Send(ident_line);
      summary_.identified = true;
      Note("identification sent");
      if (settings_.misbehave.hang_up_on_ident) {
        summary_.end = "hung up right after identifying (as asked)";
      } else {
        PlayCommands();
      }
    }
  }
  line_.HangUp();
  return summary_;
}

void OfficeCall::PlayCommands() {
  std::string line;
  for (;;) {
    const Wait w = ReadLine(line);
    if (w == Wait::Down) {
      summary_.end = "the station hung up";
      return;
    }
    if (w == Wait::Silent) {
      summary_.end = "no word from the station";
      return;
    }
    if (line == GreetingToken) {
      // The station greeted again before the identification reached it.
      ++summary_.greetings;
      continue;
    }
    if (!Handle(line)) break;
  }
  if (summary_.end.empty()) summary_.end = "the line dropped";
}

bool OfficeCall::Handle(const std::string& command) {
  if (StartsWith(command, kDismissCommand)) {
    Dismiss(command);
    return false;
  }
  const std::optional<Command> c = Classify(command);
  if (!c) {
    if (command + kCr != GoToken) Note("ignored: " + AnsiToUtf8(command));
    return true;
  }
  const std::string shown = c->kind == Kind::Message ? "[message] " + AnsiToUtf8(c->rest)
                            : c->kind == Kind::Clock ? "[clock] " + AnsiToUtf8(c->rest)
                                                     : AnsiToUtf8(command);
  summary_.commands.push_back(shown);
  Note("command: " + shown);

  line_.Send(command + kCr);  // the echo: the office has read the command
  if (!WaitForGo(c->kind == Kind::Send)) return false;
  bool done = true;
  switch (c->kind) {
    case Kind::Receive:
      done = Receive();
      break;
    case Kind::Send:
      done = SendFiles(c->rest);
      break;
    case Kind::Delete:
      Delete(c->rest);
      break;
    case Kind::Message:
      ShowMessage(c->rest);
      break;
    case Kind::Clock:
      SetClock(c->rest);
      break;
  }
  // A command that could not be carried out is not acknowledged: the station gives up the
  // call rather than believe it done.
  if (done) Acknowledge();
  return !line_.Down();
}

void OfficeCall::ShowMessage(std::string_view text_on_line) {
  const std::string text = AnsiToUtf8(text_on_line);
  summary_.messages.push_back(text);
  summary_.success_message = summary_.success_message || text == kSuccessMessage;
  Note("message: " + text);
}

void OfficeCall::SetClock(std::string_view digits) {
  const std::string t(digits);
  const bool valid = t.size() == 14 &&
                     std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (valid) {
    summary_.clock = t.substr(0, 2) + "/" + t.substr(2, 2) + "/" + t.substr(4, 4) + " " +
                     t.substr(8, 2) + ":" + t.substr(10, 2) + ":" + t.substr(12, 2);
  } else {
    summary_.clock = AnsiToUtf8(t);
    summary_.failures.push_back("clock setting not understood");
  }
  Note("clock set to " + *summary_.clock);
}

bool OfficeCall::WaitForGo(bool sending) {
  std::string line;
  for (;;) {
    const Wait w = ReadLine(line, sending);
    if (w == Wait::Request) return true;
    if (w == Wait::Line && line + kCr == GoToken) return true;
    if (w == Wait::Down) {
      summary_.end = "the station hung up while the office waited for the go token";
      return false;
    }
    if (w == Wait::Silent) {
      summary_.end = "no go token from the station";
      return false;
    }
  }
}

TransferResult OfficeCall::RunTransfer(DropDuring direction,
                                       const std::function<TransferResult(OfficeLine&)>& run) {
  TransferResult result;
  if (settings_.misbehave.drop != direction || dropped_) {
    result = run(line_);
  } else {
    dropped_ = true;
    Note("dropping the line in the middle of this transfer (as asked)");
    DroppingLine dropping(line_, direction == DropDuring::Send);
    result = run(dropping);
  }
  line_.Unread(result.leftover);
  return result;
}

bool OfficeCall::Receive() {
  const fs::path staging = settings_.dir / kStagingFolder;
  std::error_code ec;
  fs::remove_all(staging, ec);
  fs::create_directories(staging, ec);
  const TransferResult r = RunTransfer(
      DropDuring::Receive, [&](OfficeLine& line) { return link_.ReceiveArchive(line, staging); });
  Note("receiving: " + r.text);
  if (r.ok) {
    for (const std::string& placed : PlaceReceived(staging, settings_.dir)) {
      summary_.received.push_back(placed);
      Note("received " + placed);
    }
  } else {
    summary_.failures.push_back("receiving: " + r.text);
  }
  fs::remove_all(staging, ec);
  return r.ok;
}

std::string AbsoluteEscapeName(const fs::path& office_dir) {
  return (fs::absolute(office_dir) / "escape-absolute.txt").string();
}

std::string OfficeCall::OutgoingArchive(const std::vector<ArchiveItem>& items) {
  const ArchiveFault fault = settings_.misbehave.archive;
  if (fault == ArchiveFault::Hostile) {
    std::vector<RawEntry> entries;
    for (const ArchiveItem& i : items)
      entries.push_back({Utf8ToOem(i.stored_name), ReadWhole(i.file)});
    for (RawEntry& e : HostileEntries(settings_.dir)) entries.push_back(std::move(e));
    Note("sending a hostile archive (as asked)");
    return StoredZip(entries);
  }
  std::string archive = items.empty() ? StoredZip({}) : link_.PackArchive(items);
  if (fault == ArchiveFault::Corrupt) {
    Note("sending a corrupt archive (as asked)");
    return BreakCentralDirectory(std::move(archive));
  }
  if (fault == ArchiveFault::BadCrc) {
    Note("sending an archive with a damaged entry (as asked)");
    return BreakFirstEntryCrc(std::move(archive));
  }
  return archive;
}

bool OfficeCall::SendFiles(std::string_view names) {
  const SendSelection selection = SelectForSending(settings_.dir, names);
  for (const std::string& m : selection.missing) {
    summary_.missing.push_back(m);
    Note("not held, left out: " + m);
  }
  for (const std::string& r : selection.refused) {
    summary_.refused.push_back(r);
    Note("refused, outside the office's folder: " + r);
  }
  std::string archive;
  try {
    archive = OutgoingArchive(selection.items);
  } catch (const std::exception& e) {
    summary_.failures.push_back(std::string("packing: ") + e.what());
    Note(std::string("cannot pack the files: ") + e.what());
    return false;
  }
  const TransferResult r = RunTransfer(DropDuring::Send, [&](OfficeLine& line) {
    if (settings_.misbehave.slow_send.count() == 0) return link_.SendArchive(line, archive);
    Note("sending slowly, " + std::to_string(settings_.misbehave.slow_send.count()) +
         " ms before each frame (as asked)");
    SlowLine slow(line, clock_, settings_.misbehave.slow_send);
    return link_.SendArchive(slow, archive);
  });
  Note("sending: " + r.text);
  if (!r.ok) {
    summary_.failures.push_back("sending: " + r.text);
    return false;
  }
  for (const ArchiveItem& i : selection.items) summary_.sent.push_back(i.stored_name);
  return true;
}

void OfficeCall::Delete(std::string_view line_path) {
  const std::string shown = AnsiToUtf8(line_path);
  switch (DeleteLinePath(settings_.dir, line_path, settings_.keep_deleted)) {
    case DeleteOutcome::Deleted:
      summary_.deleted.push_back(shown);
      Note("deleted " + shown);
      break;
    case DeleteOutcome::Missing:
      Note("nothing to delete: " + shown);
      break;
    case DeleteOutcome::Refused:
      summary_.refused.push_back(shown);
      Note("refused, outside the office's folder: " + shown);
      break;
    case DeleteOutcome::NotAFile:
      summary_.failures.push_back("not a file, kept: " + shown);
      Note("not a file, kept: " + shown);
      break;
    case DeleteOutcome::Failed:
      summary_.failures.push_back("cannot delete " + shown);
      Note("cannot delete " + shown);
      break;
  }
}

void OfficeCall::Acknowledge() {
  const int limit = settings_.misbehave.stop_ack_after;
  if (limit >= 0 && summary_.acknowledged >= limit) {
    Note("not acknowledging (as asked)");
    return;
  }
  line_.Send(std::string(AckToken) + kCr);
  ++summary_.acknowledged;
}

void OfficeCall::Dismiss(const std::string& command) {
  summary_.commands.push_back(AnsiToUtf8(command));
  summary_.dismissed = true;
  summary_.retries = command.substr(kDismissCommand.size(), 2);
  summary_.period = command.size() > kDismissCommand.size() + 2
                        ? command.substr(kDismissCommand.size() + 2, 3)
                        : std::string();
  summary_.end = "dismissed by the station";
  Note("dismissed: retries " + *summary_.retries + ", period " + *summary_.period);
}

}  // namespace marvolen::office
