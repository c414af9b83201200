// Turning the component's FileName and BaseDir settings into absolute paths. Names are
// looked up without regard to letter case, as the station's file system did: "Recibo.zip"
// and "recibo.zip" are one archive.
#pragma once

#include <string>
#include <string_view>

namespace marvolen {

// True when the part after the last separator is empty or blank.
bool BlankFileNamePart(std::string_view file_name);
// `file_name` ("\" or "/" separators) as an absolute path, expanded against the current
// directory, with existing components found ignoring letter case.
std::string ResolveArchivePath(std::string_view file_name);

}  // namespace marvolen
