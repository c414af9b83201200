#include "platform/CodePage.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <string>

#include "platform/Errors.h"

namespace marvolen {

namespace {

const char* IconvName(CodePage cp) {
  switch (cp) {
    case CodePage::Cp1252:
      return "CP1252";
    case CodePage::Cp850:
      return "CP850";
    case CodePage::Utf8:
      return "UTF-8";
  }
  return "UTF-8";
}

// Length of the UTF-8 sequence starting with `lead`, 1 for anything that is not a lead byte,
// so that an unconvertible character is replaced by one '?' and not one per byte.
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

class Iconv {
 public:
  Iconv(CodePage from, CodePage to) : cd_(::iconv_open(IconvName(to), IconvName(from))) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw StationError(LastErrno(), std::string("iconv no puede convertir de ") +
                                          IconvName(from) + " a " + IconvName(to));
    }
  }
  ~Iconv() { ::iconv_close(cd_); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

Converted ConvertText(std::string_view text, CodePage from, CodePage to) {
  Converted out;
  if (from == to && from != CodePage::Utf8) {
    out.text = std::string(text);
    return out;
  }
  Iconv cd(from, to);
  out.text.reserve(text.size() * (to == CodePage::Utf8 ? 2 : 1));
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char buffer[256];
  while (in_left > 0) {
    char* dst = buffer;
    size_t dst_left = sizeof buffer;
    const size_t rc = ::iconv(cd.get(), &in, &in_left, &dst, &dst_left);
    out.text.append(buffer, static_cast<size_t>(dst - buffer));
    if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // EILSEQ (no equivalent, or a byte the source code page does not define) or EINVAL (a
    // cut multibyte sequence at the end): put one '?' for the character and go on.
    out.exact = false;
    out.text += '?';
    size_t skip = from == CodePage::Utf8 ? Utf8SequenceLength(static_cast<unsigned char>(*in)) : 1;
    if (skip > in_left) skip = in_left;
    in += skip;
    in_left -= skip;
    ::iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

std::string AnsiToUtf8(std::string_view s) {
  return ConvertText(s, CodePage::Cp1252, CodePage::Utf8).text;
}
std::string Utf8ToAnsi(std::string_view s) {
  return ConvertText(s, CodePage::Utf8, CodePage::Cp1252).text;
}
std::string Utf8ToOem(std::string_view s) {
  return ConvertText(s, CodePage::Utf8, CodePage::Cp850).text;
}

namespace {

// Code points of the bytes 0x80 to 0x9F; every other byte is its own code point.
constexpr std::array<char32_t, 32> kHighControls{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Code points of the bytes 0x80 to 0xFF of code page 850; the lower half is ASCII.
constexpr std::array<char16_t, 128> kCp850High{
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557,
    0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9,
    0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The code point starting at `s[i]` and the bytes it takes; -1 for anything that is not a
// well-formed, shortest-form UTF-8 sequence (then one byte is taken).
std::pair<int32_t, size_t> DecodeUtf8(std::string_view s, size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  if (lead < 0x80) return {lead, 1};
  size_t len = lead >= 0xC2 && lead <= 0xDF   ? 2
               : lead >= 0xE0 && lead <= 0xEF ? 3
               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                              : 0;
  if (len == 0 || i + len > s.size()) return {-1, 1};
  int32_t cp = lead & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return {-1, 1};
    cp = (cp << 6) | (c & 0x3F);
  }
  const int32_t shortest = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
  if (cp < shortest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {-1, 1};
  return {cp, len};
}

int AnsiByteOf(int32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return cp;
  for (size_t b = 0; b < kHighControls.size(); ++b) {
    if (static_cast<int32_t>(kHighControls[b]) == cp) return static_cast<int>(0x80 + b);
  }
  return -1;
}

}  // namespace

std::string AnsiToUtf8Exact(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() * 2);
  for (char ch : ansi) {
    const auto c = static_cast<unsigned char>(ch);
    AppendUtf8(out, c >= 0x80 && c <= 0x9F ? kHighControls[c - 0x80] : c);
  }
  return out;
}

Converted Utf8ToAnsiExact(std::string_view utf8) {
  Converted out;
  out.text.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto [cp, len] = DecodeUtf8(utf8, i);
    const int byte = cp < 0 ? -1 : AnsiByteOf(cp);
    out.text += byte < 0 ? '?' : static_cast<char>(byte);
    out.exact = out.exact && byte >= 0;
    i += len;
  }
  return out;
}

std::string OemToUtf8(std::string_view s) {
  // Every byte of code page 850 has its character, so a table does what iconv would, without
  // loading iconv's converter module for each archive an office sends (its names are read
  // through here).
  std::string out;
  out.reserve(s.size() * 2);
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    AppendUtf8(out, c < 0x80 ? c : kCp850High[c - 0x80]);
  }
  return out;
}
}  // namespace marvolen
