#include "platform/ShownText.h"

namespace marvolen {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, std::string_view prefix, unsigned char byte) {
  out += prefix;
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// The length of the valid UTF-8 sequence at the start of `s`, 0 when it is not one.
size_t Utf8SequenceLength(std::string_view s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  size_t length;
  unsigned min_second = 0x80, max_second = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) min_second = 0xA0;
    if (b0 == 0xED) max_second = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) min_second = 0x90;
    if (b0 == 0xF4) max_second = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  if (b1 < min_second || b1 > max_second) return 0;
  for (size_t i = 2; i < length; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string ShownText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    const auto byte = static_cast<unsigned char>(utf8[0]);
    if (byte < 0x20 || byte == 0x7F) {
      AppendEscaped(out, "\\x", byte);
      utf8.remove_prefix(1);
      continue;
    }
    if (byte < 0x80) {
      out += static_cast<char>(byte);
      utf8.remove_prefix(1);
      continue;
    }
    const size_t length = Utf8SequenceLength(utf8);
    if (length == 0) {
      AppendEscaped(out, "\\x", byte);
      utf8.remove_prefix(1);
    } else if (byte == 0xC2 && static_cast<unsigned char>(utf8[1]) <= 0x9F) {
      AppendEscaped(out, "\\u00", static_cast<unsigned char>(utf8[1]));
      utf8.remove_prefix(2);
    } else {
      out.append(utf8.substr(0, length));
      utf8.remove_prefix(length);
    }
  }
  return out;
}

}  // namespace marvolen
