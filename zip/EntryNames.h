// What an entry name may do on this disk. Names come from an archive someone else wrote:
// before anything is created they are split into plain components, and a name that would
// reach outside the target directory is refused whole rather than mended.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace marvolen {

enum class EntryNameVerdict {
  kPlain,      // components below the target directory
  kEscapes,    // a ".." component, an absolute path or a drive letter
  kMalformed,  // empty, or holding a NUL byte
};

struct CheckedEntryName {
  EntryNameVerdict verdict = EntryNameVerdict::kMalformed;
  std::vector<std::string> components;  // without "." and empty components
};

// Splits `name` ("/" or "\" separators) into components and judges it.
CheckedEntryName CheckEntryName(std::string_view name);

// A symbolic link entry: written on a Unix host with a link file type in the high half of
// the external attributes.
bool IsSymbolicLinkEntry(uint16_t version_made_by, uint32_t external_attributes);

}  // namespace marvolen
