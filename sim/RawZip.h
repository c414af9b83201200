// A bare ZIP writer for archives the archive component would never make: entries stored
// without compression under any name at all. The office uses it to play a hostile office
// and to answer with an empty archive.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace marvolen::office {

struct RawEntry {
  std::string name;  // stored as given, byte for byte
  std::string data;
};

std::string StoredZip(const std::vector<RawEntry>& entries);

// Breaks every central directory header's signature, so that no reader takes the archive.
std::string BreakCentralDirectory(std::string archive);
// Flips the first data byte of the first entry, so that the entry no longer checks out (its
// CRC, or its deflate data) while the archive's structure stays sound; the archive is given
// back unchanged when that entry has no data.
std::string BreakFirstEntryCrc(std::string archive);

}  // namespace marvolen::office
