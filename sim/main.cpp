// marvolen-office: one office calling the station. See UsageText() for the command line.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/FileNames.h"
#include "platform/ProgramInfo.h"
#include "sim/BlockLink.h"
#include "sim/OfficeCall.h"
#include "sim/OfficeIdent.h"
#include "sim/OfficeLine.h"
#include "sim/OfficeOptions.h"

namespace fs = std::filesystem;
using namespace marvolen;
using namespace marvolen::office;

namespace {

int Refuse(const std::string& message) {
  std::cerr << "marvolen-office: " << message << "\n(marvolen-office --help shows the options)\n";
  return 2;
}

void Describe(const OfficeIdentity& id, const std::vector<ReportedFile>& files,
              const std::vector<std::string>& skipped, const std::string& half) {
  std::cout << "office " << id.number << ": " << (id.kind == TableKind::Tbl ? "tbl" : "tab")
            << " tables, traffic flag " << id.traffic_flag << ", feature flag "
            << (id.features ? "on" : "off") << ", reporting " << files.size() << " files\n";
  for (const ReportedFile& f : files) std::cout << "  " << f.name << " " << f.value << "\n";
  for (const std::string& s : skipped)
    std::cout << "  (name the station cannot read: " << s << ")\n";
  // The list as it goes on the line, between quotes so that its blanks show.
  std::cout << "file list: \"" << half.substr(std::min(half.size(), HeaderLength(id.kind)))
            << "\"\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto status = AnswerInfoOption(argc, argv, "marvolen-office", UsageText()))
    return *status;
  OfficeOptions o;
  try {
    o = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    return Refuse(e.what());
  }
  if (o.help) {
    std::cout << UsageText();
    return 0;
  }
  if (!fs::is_directory(o.dir)) return Refuse("no office directory " + o.dir.string());

  OfficeIdentity id = o.identity;
  id.traffic_flag = o.traffic_flag.value_or(
      fs::is_regular_file(ResolveNoCase(o.dir / "TRAFICO" / "TRAFICO.TRF")) ? 'S' : 'N');
  if (o.wrong_password) id.password = WrongPassword(id.password);
  std::vector<std::string> skipped;
  std::vector<ReportedFile> files;
  try {
    files = SurveyOffice(o.dir, id.kind, &skipped);
  } catch (const std::exception& e) {
    return Refuse(e.what());
  }
  std::string ident = BuildIdentLine(id, files);
  if (o.differing_halves) ident = DifferingHalves(ident);
  Describe(id, files, skipped, BuildIdentHalf(id, files));

  // A station that has not opened its port yet, or a line that is busy, lets no call through:
  // an office redials, as the real ones do with their retry settings.
  RealClock clock;
  const MonoTime give_up = clock.Now() + o.redial;
  CallSummary summary;
  for (;;) {
    std::cout << "dialling " << o.host << ":" << o.port << std::endl;
    std::string error;
    const int fd = DialTcp(o.host, o.port, error);
    if (fd < 0 && clock.Now() < give_up) {
      clock.Sleep(Millis(1000));
      continue;
    }
    if (fd < 0) {
      std::cerr << "marvolen-office: " << error << "\n";
      return 1;
    }
    SocketLine line(fd, clock);
    BlockLink link(clock, std::cout);
    OfficeCall call(line, link, clock, CallSettings{o.dir, o.timeout, o.misbehave, o.keep_deleted},
                    std::cout);
    summary = call.Run(ident);
    if (summary.greetings > 0 || clock.Now() >= give_up) break;
    std::cout << "the station did not answer yet; dialling again" << std::endl;
    clock.Sleep(Millis(1000));
  }
  PrintSummary(std::cout, summary);
  return ExitStatus(summary);
}
