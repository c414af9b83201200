// The receiver's archive check and unpacking, done by the station's ZIP component.
#pragma once

#include <functional>
#include <string_view>

#include "link/TransferReceiver.h"

namespace marvolen {

// Hooks over the ZIP component, set up as the station reads every received archive: damage
// tolerated, names in the OEM code page, members replaced, directories created. Each member
// that fails to unpack is reported to `log` with its "ERROR de descompresión:" line and the
// others are still unpacked; only an archive that cannot be opened or read makes `extract`
// throw.
ArchiveHooks ZipArchiveHooks(std::function<void(std::string_view)> log);

}  // namespace marvolen
