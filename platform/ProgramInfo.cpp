#include "platform/ProgramInfo.h"

#include <cstdio>
#include <string>

namespace marvolen {

std::string_view ProjectVersion() {
  return MARVOLEN_VERSION;
}

std::optional<int> AnswerInfoOption(int argc, char** argv, std::string_view program,
                                    std::string_view help) {
  if (argc < 2) return std::nullopt;
  const std::string_view option = argv[1];
  std::string text;
  if (option == "--help") {
    text = help;
  } else if (option == "--version") {
    text = std::string(program) + " " + std::string(ProjectVersion()) + "\n";
  } else {
    return std::nullopt;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace marvolen
