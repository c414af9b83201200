#include "transfer/TransferLine.h"

#include <cctype>

namespace marvolen {

bool TransferSucceeded(std::string_view result) {
  constexpr std::string_view kGood = "TRANSFERENCIA OK";
  if (result.size() != kGood.size()) return false;
  for (std::size_t i = 0; i < result.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(result[i])) != kGood[i]) return false;
  }
  return true;
}

}  // namespace marvolen
