// The receiver's archive check and unpacking, done by the station's ZIP component.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileOps.h"
#include "transfer/TransferReceiver.h"

namespace marvolen {

// Hooks over the ZIP component, set up as the station reads every received archive: damage
// tolerated, names in the OEM code page, members replaced, directories created. The members
// are first unpacked into a temporary directory beside the target and moved into place only
// when every one of them came out whole: an archive with a damaged member leaves nothing
// behind and makes `extract` throw. Each member that fails or is left out is reported to
// `log` with its "ERROR de descompresión:" line. The archive and the members are written
// through `files`.
ArchiveHooks ZipArchiveHooks(std::function<void(std::string_view)> log,
                             const FileOps& files = SystemFileOps());

// Takes the members whose whole stored name is one of `names` (bare file names, UTF-8),
// compared without regard to letter case.
EntryFilter OnlyNamed(std::vector<std::string> names);

}  // namespace marvolen
