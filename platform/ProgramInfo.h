// --help and --version, answered alike by every program of the project (the package's man
// pages are made from --help).
#pragma once

#include <optional>
#include <string_view>

namespace marvolen {

// The project's version ("0.1.0").
std::string_view ProjectVersion();

// When the first argument is "--help" or "--version", prints `help` or "PROGRAM VERSION" on
// standard output and gives the exit status 0; otherwise nothing.
std::optional<int> AnswerInfoOption(int argc, char** argv, std::string_view program,
                                    std::string_view help);

}  // namespace marvolen
