// What the office needs of the block transfer and the archive component: receive an archive
// and unpack it, pack files into an archive, send an archive. The call logic sees only this
// interface; the program wires it to the transfer and ZIP libraries, tests to doubles.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "sim/OfficeFiles.h"
#include "sim/OfficeLine.h"

namespace marvolen::office {

struct TransferResult {
  bool ok = false;
  std::string text;  // what the transfer reported, UTF-8
  // Bytes the transfer read off the line behind its last frame; the call reads them next.
  std::string leftover;
};

class OfficeLink {
 public:
  virtual ~OfficeLink() = default;
  // Receives one archive over `line` and unpacks its entries below `staging`, an empty
  // folder. Entries that would leave `staging` are never written.
  virtual TransferResult ReceiveArchive(OfficeLine& line, const std::filesystem::path& staging) = 0;
  // The bytes of an archive holding `items` (none: an empty archive). Throws a
  // std::system_error with its code when a file cannot be packed, a std::runtime_error when
  // one cannot be read back.
  virtual std::string PackArchive(const std::vector<ArchiveItem>& items) = 0;
  // Sends `archive` over `line`, waiting first for the station's request.
  virtual TransferResult SendArchive(OfficeLine& line, std::string_view archive) = 0;
};

}  // namespace marvolen::office
