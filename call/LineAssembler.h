// Puts the bytes read from the line together into lines, the one way every reader of the
// station does it: the modem's "RING", the caller's identification and the office's replies.
#pragma once

#include <cstddef>
#include <string>

namespace marvolen {

// No line of the protocol comes near this length (the longest, a doubled identification with
// fifty files, is under 2500 bytes).
inline constexpr std::size_t kMaxLineLength = 16384;

// Bytes dropped wherever they arrive (BS, LF, VT, FF).
inline constexpr bool IsLineNoise(char c) {
  return c == 8 || c == 10 || c == 11 || c == 12;
}

// What one byte did to the line being put together.
enum class LineStep {
  kMore,      // a noise byte, dropped, or a byte added to the line
  kEnded,     // a CR: the line is whole (without its CR); the caller empties it when done
  kOverlong,  // the line was already kMaxLineLength bytes long and this byte was no CR
};

// Adds the byte `c` to `line`, the line being put together.
//
// The over-long-line rule: a line holds at most kMaxLineLength bytes. A byte that would make
// it longer ends it as an over-long line: what it held is dropped (it is no line anyone could
// take) and the byte starts the next line, so that a reply right behind an endless line is
// still read whole. The caller counts or ignores the over-long line; the buffer never grows
// past the limit however long a caller sends without a CR.
LineStep AssembleLine(std::string& line, char c);

}  // namespace marvolen
