#include "sim/OfficeIdent.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/FileNames.h"

namespace marvolen::office {

namespace fs = std::filesystem;

namespace {

// Widths of the station's reading of the entries.
constexpr std::size_t kNameWidth = 12;
constexpr std::size_t kValueWidth = 10;
constexpr std::size_t kEntryWidth = kNameWidth + kValueWidth;

// `text` cut or blank-padded to exactly `width` characters.
std::string Fit(std::string_view text, std::size_t width) {
  std::string out(text.substr(0, width));
  out.resize(width, ' ');
  return out;
}

void Put(std::string& line, std::size_t position, std::string_view text) {
  line.replace(position - 1, text.size(), text);
}

std::string UpperAscii(std::string name) {
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return name;
}

// A name the station can read back. Its 12-character field holds a short name and the start
// of the value behind it; the station cuts the name three characters after a dot found
// within its first eight characters, and shifts every later entry to match. So a name of 12
// characters must not have such a dot with more than three characters after it, and a
// shorter one must have one with exactly three: anything else would garble the whole list.
bool Reportable(const std::string& name) {
  if (name.empty() || name.size() > kNameWidth) return false;
  if (!std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7F; })) {
    return false;
  }
  const std::size_t dot = name.find('.');
  const bool cut_after_dot = dot != std::string::npos && dot < 8;
  if (name.size() == kNameWidth) return !cut_after_dot || name.size() - dot - 1 <= 3;
  return cut_after_dot && name.size() - dot - 1 == 3;
}

bool HasExtension(const fs::path& p, std::string_view ext) {
  return EqualsNoCase(p.extension().string(), ext);
}

// Regular files directly in `dir` for which `take` says yes, by name.
template <typename Take>
std::vector<fs::path> FilesIn(const fs::path& dir, Take take) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && take(it->path())) out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

void Report(const std::vector<fs::path>& files, bool by_sum, std::vector<ReportedFile>& out,
            std::vector<std::string>* skipped) {
  for (const fs::path& f : files) {
    const std::string name = f.filename().string();
    if (!Reportable(name)) {
      if (skipped) skipped->push_back(name);
      continue;
    }
    const std::int32_t value = by_sum ? ByteSum(f) : static_cast<std::int32_t>(fs::file_size(f));
    out.push_back({UpperAscii(name), value});
  }
}

}  // namespace

std::size_t HeaderLength(TableKind kind) {
  return kind == TableKind::Tbl ? 99 : 67;
}

std::int32_t ByteSum(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::uint32_t sum = 0;
  char buf[65536];
  while (in) {
    in.read(buf, sizeof buf);
    for (std::streamsize i = 0; i < in.gcount(); ++i) sum += static_cast<unsigned char>(buf[i]);
  }
  if (in.bad()) throw std::runtime_error("cannot read " + file.string());
  return static_cast<std::int32_t>(sum);
}

std::vector<ReportedFile> SurveyOffice(const fs::path& dir, TableKind kind,
                                       std::vector<std::string>* skipped) {
  std::vector<ReportedFile> out;
  if (kind == TableKind::Tbl) {
    Report(FilesIn(dir, [](const fs::path& p) { return HasExtension(p, ".tbl"); }), true, out,
           skipped);
  } else {
    Report(FilesIn(dir, [](const fs::path& p) { return HasExtension(p, ".tab"); }), true, out,
           skipped);
    Report(FilesIn(dir, [](const fs::path& p) { return HasExtension(p, ".cos"); }), true, out,
           skipped);
  }
  if (auto upgrades = FindNoCase(dir, kUpgradeDir)) {
    Report(FilesIn(*upgrades, [](const fs::path&) { return true; }), false, out, skipped);
  }
  return out;
}

std::string BuildIdentHalf(const OfficeIdentity& id, const std::vector<ReportedFile>& files) {
  std::string line(HeaderLength(id.kind), ' ');
  char number[16];
  std::snprintf(number, sizeof number, "%05d", id.number % 100000);
  Put(line, 1, "Ident=");
  Put(line, 7, number);
  Put(line, 12, std::string(1, id.traffic_flag));
  // "S" (or "N") asks for "tab" tables; anything else means "tbl".
  Put(line, 13, id.kind == TableKind::Tab ? "S" : "T");
  const std::string password = Fit(id.password, 5);
  for (std::size_t i = 0; i < 5; ++i) {
    char group[8];
    std::snprintf(group, sizeof group, "%03u", static_cast<unsigned char>(password[i]));
    Put(line, 14 + 3 * i, group);
  }
  Put(line, 29, id.features ? "S" : " ");
  Put(line, 30, Fit(id.program, 4));
  Put(line, 35, Fit(id.device_id, 8));
  Put(line, 44, Fit(id.version, 12));
  Put(line, 56, Fit(id.serial, 12));
  // As the office program writes its list: each name as it is, a short one unpadded, right
  // followed by its value in ten characters; the list then takes its nominal width of 22
  // characters an entry, so that the station counts every entry.
  for (const ReportedFile& f : files) {
    line += f.name.substr(0, kNameWidth);
    line += Fit(std::to_string(f.value), kValueWidth);
  }
  line.resize(HeaderLength(id.kind) + kEntryWidth * files.size(), ' ');
  return line;
}

std::string BuildIdentLine(const OfficeIdentity& id, const std::vector<ReportedFile>& files) {
  const std::string half = BuildIdentHalf(id, files);
  return half + half + '\r';
}

std::string WrongPassword(std::string password) {
  password.resize(std::max<std::size_t>(password.size(), 1), ' ');
  password[0] = password[0] == 'X' ? 'Y' : 'X';
  return password;
}

std::string DifferingHalves(std::string line) {
  const std::size_t half = (line.size() - (line.ends_with('\r') ? 1 : 0)) / 2;
  char& c = line[half + 29];
  c = c == 'X' ? 'Y' : 'X';
  return line;
}

}  // namespace marvolen::office
