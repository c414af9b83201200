#include "platform/FileNames.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace marvolen {

namespace fs = std::filesystem;

std::string FoldCase(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c + 32);
    } else if (c == 0xC3 && i + 1 < s.size()) {
      // U+00C0..U+00DE (except U+00D7, the multiplication sign) are the upper-case letters
      // of Latin-1; in UTF-8 they are C3 80..C3 9E and their lower case is 0x20 above.
      auto next = static_cast<unsigned char>(s[i + 1]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97) next += 0x20;
      out += static_cast<char>(c);
      out += static_cast<char>(next);
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return FoldCase(a) == FoldCase(b);
}

std::optional<fs::path> FindNoCase(const fs::path& dir, std::string_view name) {
  std::error_code ec;
  const fs::path exact = dir / fs::path(std::string(name));
  if (fs::symlink_status(exact, ec).type() != fs::file_type::not_found && !ec) return exact;
  const std::string wanted = FoldCase(name);
  std::vector<std::string> matches;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (FoldCase(entry) == wanted) matches.push_back(entry);
  }
  if (matches.empty()) return std::nullopt;
  return dir / *std::min_element(matches.begin(), matches.end());
}

fs::path ResolveNoCase(const fs::path& path) {
  fs::path out = path.root_path();
  bool resolving = true;
  for (const fs::path& part : path.relative_path()) {
    const std::string name = part.string();
    if (resolving && name != "." && name != "..") {
      if (auto found = FindNoCase(out.empty() ? fs::path(".") : out, name)) {
        out /= found->filename();
        continue;
      }
      resolving = false;
    }
    out /= part;
  }
  return out;
}

}  // namespace marvolen
