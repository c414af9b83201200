// File names looked up without regard to letter case. The offices and the station were
// written for a file system that ignores case, and a call relies on it ("Recibo.zip" and
// "recibo.zip" are one file), so every lookup of an existing file by a fixed name goes here.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace marvolen {

// Folds ASCII letters and the accented letters of Latin-1 (in UTF-8) to lower case.
std::string FoldCase(std::string_view utf8);
bool EqualsNoCase(std::string_view a, std::string_view b);

// The entry of `dir` whose name equals `name` ignoring case: the exact name when it exists,
// else the first match in name order. nullopt when there is none or `dir` is unreadable.
std::optional<std::filesystem::path> FindNoCase(const std::filesystem::path& dir,
                                                std::string_view name);

// `path` with every component that exists resolved ignoring case; components that do not
// exist (and everything after them) are kept as given, so the result can name a file
// that is about to be created.
std::filesystem::path ResolveNoCase(const std::filesystem::path& path);

}  // namespace marvolen
