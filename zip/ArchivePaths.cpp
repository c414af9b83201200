#include "zip/ArchivePaths.h"

#include <algorithm>
#include <filesystem>

#include "platform/FileNames.h"

namespace marvolen {

namespace fs = std::filesystem;

bool BlankFileNamePart(std::string_view file_name) {
  const size_t cut = file_name.find_last_of("/\\");
  const std::string_view part =
      cut == std::string_view::npos ? file_name : file_name.substr(cut + 1);
  return part.find_first_not_of(" \t") == std::string_view::npos;
}

std::string ResolveArchivePath(std::string_view file_name) {
  std::string name(file_name);
  std::replace(name.begin(), name.end(), '\\', '/');
  fs::path path(name);
  if (path.is_relative()) path = fs::current_path() / path;
  return ResolveNoCase(path.lexically_normal()).string();
}

}  // namespace marvolen
