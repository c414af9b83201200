#include "call/LineAssembler.h"

namespace marvolen {

LineStep AssembleLine(std::string& line, char c) {
  if (IsLineNoise(c)) return LineStep::kMore;
  if (c == '\r') return LineStep::kEnded;
  if (line.size() < kMaxLineLength) {
    line += c;
    return LineStep::kMore;
  }
  line.assign(1, c);
  return LineStep::kOverlong;
}

}  // namespace marvolen
