// The office's directory as the line sees it. The station names files with office-relative
// paths in backslash form ("tablas\TARIFA.TBL", "TRAFICO\TRAFICO.TRF"); tables live in the
// directory itself, so the "tablas" folder of the station's archive maps onto it. Nothing the
// line names may reach outside the directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marvolen::office {

// The file in `dir` that `line_path` (Windows-1252, backslashes or slashes) names, looked up
// without regard to letter case; nullopt when the path is empty, absolute, carries a drive
// letter or a ".." component, or would leave `dir` through a symbolic link.
std::optional<std::filesystem::path> ResolveLinePath(const std::filesystem::path& dir,
                                                     std::string_view line_path);

enum class DeleteOutcome { Deleted, Missing, Refused, NotAFile, Failed };

// Deletes the regular file that `line_path` names in `dir`. With `keep` given, the file is
// moved into that directory instead, under the first free name "1-NAME", "2-NAME" ...: a test
// can then tell which bytes the station had the office delete, in order. One office at a time
// may keep into a directory.
DeleteOutcome DeleteLinePath(const std::filesystem::path& dir, std::string_view line_path,
                             const std::filesystem::path& keep = {});

// A file to put into an archive, with the name it is stored under.
struct ArchiveItem {
  std::string stored_name;  // "/" separators, UTF-8
  std::filesystem::path file;
};

struct SendSelection {
  std::vector<ArchiveItem> items;
  std::vector<std::string> missing;  // names that are not in the directory
  std::vector<std::string> refused;  // names that would leave it
};

// The files the names of an "Enviar  dato" command ask for (Windows-1252, separated by
// blanks). Each is stored under its own file name without folders: the station unpacks the
// archive into the office's folder and looks for the files there.
SendSelection SelectForSending(const std::filesystem::path& dir, std::string_view names);

// Moves the files unpacked below `staging` into `dir`: "tablas/NAME" becomes NAME, every other
// relative path is kept. A file already there under another letter case is replaced. Gives
// the office-relative paths placed.
std::vector<std::string> PlaceReceived(const std::filesystem::path& staging,
                                       const std::filesystem::path& dir);

}  // namespace marvolen::office
