// Temporary files and directories that stand beside the file they will become. Each name
// carries the id of the process that made it, so two processes never share one, and a
// name left behind by a process that died half-way (a killed save) is known as litter and
// removed by the next process that writes in that directory.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileOps.h"

namespace marvolen {

// ".<final_name>.<pid>.<serial>.tmp": hidden, unique within this process, and recognisable
// by RemoveStaleTemps.
std::string TempName(std::string_view final_name);

// Removes from `dir` every temporary file or directory of the TempName pattern whose process
// is gone, or that is older than an hour (one made on another machine that shares the
// directory). Temporary names of this process and of live ones stay; a link of that name is
// removed itself, never followed, and so is anything linked inside a removed directory.
// Removes through `ops`. Gives back what it removed. Never throws.
std::vector<std::filesystem::path> RemoveStaleTemps(const std::filesystem::path& dir,
                                                    const FileOps& ops = SystemFileOps());
// As RemoveStaleTemps, in the directory open at `dir_fd` (Dir::RemoveStaleTemps); gives back
// the names removed.
std::vector<std::string> RemoveStaleTempsAt(const FileOps& ops, int dir_fd);

// RemoveStaleTemps in every directory an interrupted filing or staging may have left its
// temporary files in: the home, its "tablas" and "upgrade", the working directory (where the
// office directories are) and every office directory ("loc" and its number) in it, any
// letter case, and the status summary ("calls.summary") with the directories in it. A
// directory in them that is a link is not entered. Gives back what it removed.
std::vector<std::filesystem::path> RemoveInterruptedTemps(const std::filesystem::path& home,
                                                          const std::filesystem::path& work_dir,
                                                          const FileOps& ops = SystemFileOps());

}  // namespace marvolen
