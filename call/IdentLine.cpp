#include "call/IdentLine.h"

#include <cstdio>

#include "platform/CodePage.h"

namespace marvolen {

namespace {

std::string TrimRightBlanks(std::string_view s) {
  const size_t end = s.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string() : std::string(s.substr(0, end + 1));
}

std::string TrimBlanks(std::string_view s) {
  const size_t begin = s.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return TrimRightBlanks(s.substr(begin));
}

// The dot rule: an office that writes a short name without padding puts its value right
// behind the name's three-letter extension. Cut the name there and report how far the
// value (and every later entry) sits to the left of its nominal place.
size_t ApplyDotRule(std::string& name) {
  const size_t dot = name.find('.');
  if (dot == std::string::npos) return 0;
  const size_t j = dot + 1;  // 1-based position of the dot
  if (j >= 9 || name.size() - j <= 3) return 0;
  name.resize(j + 3);
  return 9 - j;
}

}  // namespace

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string OfficeDirFor(std::string_view work_dir, int office_number) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%02d", office_number);
  return std::string(work_dir) + "loc" + digits;
}

std::string OfficeTagFor(int office_number) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04d", office_number);
  return digits;
}

IdentFields::IdentFields(std::string line) : line_(std::move(line)) {}

bool IdentFields::HalvesMatch() const {
  const size_t h = Half();
  return line_.compare(0, h, line_, h, h) == 0;
}

std::string IdentFields::Field(size_t pos, size_t width) const {
  const size_t h = Half();
  if (pos < 1 || pos > h) return {};
  return line_.substr(pos - 1, std::min(width, h - (pos - 1)));
}

int32_t IdentFields::PasswordGroup(int i) const {
  const std::string group = Field(3 * i + 11, 3);
  if (const auto value = TryStrToInt(AnsiToUtf8(group))) return *value;
  // The error is shown, recorded and kept in the call's transcript: it says which group was
  // wrong and how, but not its digits, which are the office's password.
  std::string shown = AnsiToUtf8(group);
  for (char& c : shown) {
    if (c >= '0' && c <= '9') c = '*';
  }
  throw ConversionError(shown, "clave de la oficina, grupo " + std::to_string(i));
}

bool IdentFields::FeatureFlagBlank() const {
  const std::string flag = Field(29, 1);
  return flag.empty() || flag == " ";
}

int IdentFields::OfficeNumber() const {
  return TryStrToInt(TrimRightBlanks(OfficeField())).value_or(0);
}

std::vector<OfficeFileEntry> IdentFields::OfficeFiles(int header_width) const {
  std::vector<OfficeFileEntry> files;
  const long long room = static_cast<long long>(Half()) - header_width;
  if (header_width < 0 || room <= 0) return files;
  const size_t count = static_cast<size_t>(room / kOfficeEntryWidth);
  size_t shift = 0;
  for (size_t k = 1; k <= count; ++k) {
    const size_t b = static_cast<size_t>(header_width) + kOfficeEntryWidth * (k - 1);
    OfficeFileEntry entry;
    entry.name = TrimBlanks(Field(b + 2 - shift, 12));
    shift += ApplyDotRule(entry.name);
    const std::string value = TrimRightBlanks(Field(b + 14 - shift, 10));
    try {
      entry.value = StrToInt(AnsiToUtf8(value));
    } catch (const ConversionError& e) {
      throw ConversionError(e.text(), "lista de archivos de la oficina, " + AnsiToUtf8(entry.name));
    }
    entry.probe = Field(b + 10, 4);
    files.push_back(std::move(entry));
  }
  return files;
}

std::string IdentFields::OfficeLine() const {
  return "Oficina: " + AnsiToUtf8(OfficeField()) + "  ***Conectada al centro de telesupervisión***";
}

std::string IdentFields::SummaryLine() const {
  return AnsiToUtf8("Traf:" + TrafficFlag() + " Tabla:" + TableKindLetter() + " Prog:" + Program() +
                    " Llave:" + DeviceId() + " Ver:" + Version() + " Nro:" + Number());
}

}  // namespace marvolen
