// Temporary files and directories that stand beside the file they will become. Each name
// carries the id of the process that made it, so two processes never share one, and a
// name left behind by a process that died half-way (a killed save) is known as litter and
// removed by the next process that writes in that directory.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace marvolen {

// ".<final_name>.<pid>.<serial>.tmp": hidden, unique within this process, and recognisable
// by RemoveStaleTemps.
std::string TempName(std::string_view final_name);

// Removes from `dir` every temporary file or directory of the TempName pattern whose process
// is gone, or that is older than an hour (one made on another machine that shares the
// directory). Temporary names of this process and of live ones stay. Never throws.
void RemoveStaleTemps(const std::filesystem::path& dir);

}  // namespace marvolen
