// marvolen-xfer: the block transfer on standard input and output, so that it can be run
// against any peer (for instance lrzsz's sx and rx through socat). Standard output carries
// the line's bytes and nothing else; the result text, the block counters and every log line
// go to standard error. The exit status is 0 when the transfer succeeded.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/ProgramInfo.h"
#include "platform/ShownText.h"
#include "transfer/TransferArchive.h"
#include "transfer/TransferFdLine.h"
#include "transfer/TransferReceiver.h"
#include "transfer/TransferSender.h"

namespace {

using namespace marvolen;

constexpr int kUsageError = 2;

void ToStderr(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

// A line that may carry bytes from the peer or an archive (member names): shown escaped.
void ShowOnStderr(std::string_view text) {
  ToStderr(ShownText(text));
}

constexpr char kUsage[] =
    "Usage: marvolen-xfer send FILE\n"
    "  or:  marvolen-xfer receive\n"
    "The station's block transfer over standard input and output, the carrier taken as\n"
    "present: send FILE, or receive \"recibo.zip\" into the current directory, trim its\n"
    "padding and unpack it there. The line's bytes are on standard output, everything else\n"
    "on standard error. Against lrzsz:\n"
    "  socat EXEC:\"marvolen-xfer receive\" EXEC:\"sx -k -X file.zip\"\n";

int Usage() {
  ToStderr(std::string_view(kUsage, sizeof kUsage - 2));
  return kUsageError;
}

TransferSinks StderrSinks() {
  TransferSinks sinks;
  sinks.log = ShowOnStderr;
  // The panels get the block counters the transfer counts itself, never bytes from the line:
  // written as they are, one line a block.
  sinks.panel = [](int index, std::string_view text) {
    const char* label = index == 3 ? "Paquetes Enviados:  " : "Paquetes Recibidos:  ";
    std::fprintf(stderr, "%s%.*s\n", label, static_cast<int>(text.size()), text.data());
  };
  return sinks;
}

int Send(TransferLine& line, const char* file) {
  std::string content;
  try {
    content = ReadWholeFile(file, std::string("no se puede leer ") + file);
  } catch (const FileError& e) {
    ToStderr(std::string("marvolen-xfer: ") + e.what());
    return kUsageError;
  }
  const std::string result = SendFile(line, content, StderrSinks()).result;
  ToStderr(result);
  return TransferSucceeded(result) ? 0 : 1;
}

int Receive(TransferLine& line) {
  ReceiveSetup setup;
  setup.dir = std::filesystem::current_path();
  setup.sinks = StderrSinks();
  setup.archive = ZipArchiveHooks(setup.sinks.log);
  try {
    const ReceivedFile got = ReceiveFile(line, setup);
    ToStderr(got.result);
    return TransferSucceeded(got.result) ? 0 : 1;
  } catch (const std::exception& e) {
    ShowOnStderr(std::string("marvolen-xfer: ") + e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A peer that goes away shows as a failed write, not as the end of the program.
  std::signal(SIGPIPE, SIG_IGN);
  if (const auto status = AnswerInfoOption(argc, argv, "marvolen-xfer", kUsage)) return *status;
  const std::string_view command = argc > 1 ? argv[1] : "";
  RealClock clock;
  FdTransferLine line(0, 1, clock, ShowOnStderr);
  if (command == "send" && argc == 3) return Send(line, argv[2]);
  if (command == "receive" && argc == 2) return Receive(line);
  return Usage();
}
