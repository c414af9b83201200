#include "platform/CodePage.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

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
      throw std::runtime_error(std::string("iconv cannot convert from ") + IconvName(from) +
                               " to " + IconvName(to));
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
std::string OemToUtf8(std::string_view s) {
  return ConvertText(s, CodePage::Cp850, CodePage::Utf8).text;
}
std::string Utf8ToOem(std::string_view s) {
  return ConvertText(s, CodePage::Utf8, CodePage::Cp850).text;
}

}  // namespace marvolen
