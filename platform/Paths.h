// Where the station's own files live.
#pragma once

#include <filesystem>

namespace marvolen {

// The station home: $MARVOLEN_HOME when set and not empty, else the directory of the
// running executable. It holds "marvolen.tcp", "tablas", "upgrade" and "envio.zip".
std::filesystem::path StationHome();

}  // namespace marvolen
