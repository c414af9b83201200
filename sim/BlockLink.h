// The office's transfers and archives on the project's own block transfer and archive
// component: the office receives with the station's receiver, sends with its own block-size
// rule, and packs and unpacks with the same ZIP component as the station.
#pragma once

#include <ostream>

#include "platform/Clock.h"
#include "sim/OfficeLink.h"

namespace marvolen::office {

class BlockLink final : public OfficeLink {
 public:
  // `log` gets the transfer's and the archive's report lines.
  BlockLink(Clock& clock, std::ostream& log) : clock_(clock), log_(log) {}

  TransferResult ReceiveArchive(OfficeLine& line, const std::filesystem::path& staging) override;
  std::string PackArchive(const std::vector<ArchiveItem>& items) override;
  TransferResult SendArchive(OfficeLine& line, std::string_view archive) override;

 private:
  Clock& clock_;
  std::ostream& log_;
};

}  // namespace marvolen::office
