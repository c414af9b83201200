#include "sim/OfficeFiles.h"

#include <algorithm>
#include <system_error>

#include "platform/CodePage.h"
#include "platform/FileNames.h"

namespace marvolen::office {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTablesFolder = "tablas";

// The office-relative parts of a path from the line, or nullopt when it points anywhere
// but below the office's directory.
std::optional<std::vector<std::string>> SplitLinePath(std::string_view line_path) {
  std::string text = AnsiToUtf8(line_path);
  std::replace(text.begin(), text.end(), '\\', '/');
  if (text.empty() || text.front() == '/') return std::nullopt;
  if (text.size() >= 2 && text[1] == ':') return std::nullopt;  // drive letter
  if (text.find('\0') != std::string::npos) return std::nullopt;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('/', start), text.size());
    const std::string part = text.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  if (parts.empty()) return std::nullopt;
  return parts;
}

// True when `path` lies below `dir` (or, with `same_ok`, is `dir`) once symbolic links are
// followed.
bool Below(const fs::path& dir, const fs::path& path, bool same_ok) {
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(dir, ec);
  if (ec) return false;
  const fs::path full = fs::weakly_canonical(path, ec);
  if (ec) return false;
  const fs::path rel = full.lexically_relative(base);
  if (rel.empty() || *rel.begin() == "..") return false;
  return same_ok || rel != ".";
}

// Office-relative parts with the station's "tablas" folder mapped onto the directory.
fs::path OfficeRelative(std::vector<std::string> parts) {
  if (parts.size() > 1 && EqualsNoCase(parts.front(), kTablesFolder)) parts.erase(parts.begin());
  fs::path rel;
  for (const std::string& p : parts) rel /= p;
  return rel;
}

}  // namespace

std::optional<fs::path> ResolveLinePath(const fs::path& dir, std::string_view line_path) {
  const auto parts = SplitLinePath(line_path);
  if (!parts) return std::nullopt;
  const fs::path candidate = ResolveNoCase(dir / OfficeRelative(*parts));
  // The file itself may be a symbolic link, which deleting removes without following; the
  // folder it is reached through must be the office's own.
  if (!Below(dir, candidate.parent_path(), true)) return std::nullopt;
  return candidate;
}

DeleteOutcome DeleteLinePath(const fs::path& dir, std::string_view line_path,
                             const fs::path& keep) {
  const auto path = ResolveLinePath(dir, line_path);
  if (!path) return DeleteOutcome::Refused;
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(*path, ec);
  if (st.type() == fs::file_type::not_found) return DeleteOutcome::Missing;
  if (ec) return DeleteOutcome::Failed;
  if (st.type() != fs::file_type::regular && st.type() != fs::file_type::symlink) {
    return DeleteOutcome::NotAFile;
  }
  if (keep.empty()) {
    return fs::remove(*path, ec) && !ec ? DeleteOutcome::Deleted : DeleteOutcome::Failed;
  }
  // The file stays where it is when it cannot be kept: a test must never miss a deletion.
  fs::create_directories(keep, ec);
  if (ec) return DeleteOutcome::Failed;
  for (int n = 1;; ++n) {
    const fs::path kept = keep / (std::to_string(n) + "-" + path->filename().string());
    const fs::file_type taken = fs::symlink_status(kept, ec).type();
    if (taken != fs::file_type::not_found) {
      if (ec) return DeleteOutcome::Failed;
      continue;
    }
    fs::rename(*path, kept, ec);
    return ec ? DeleteOutcome::Failed : DeleteOutcome::Deleted;
  }
}

SendSelection SelectForSending(const fs::path& dir, std::string_view names) {
  SendSelection out;
  std::size_t start = 0;
  while (start < names.size()) {
    const std::size_t end = std::min(names.find(' ', start), names.size());
    const std::string_view name = names.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    const auto path = ResolveLinePath(dir, name);
    std::error_code ec;
    if (!path || !Below(dir, *path, false)) {
      out.refused.push_back(AnsiToUtf8(name));
    } else if (!fs::is_regular_file(*path, ec)) {
      out.missing.push_back(AnsiToUtf8(name));
    } else {
      const std::string stored = path->filename().string();
      const bool twice = std::any_of(out.items.begin(), out.items.end(), [&](const auto& i) {
        return EqualsNoCase(i.stored_name, stored);
      });
      if (!twice) out.items.push_back({stored, *path});
    }
  }
  return out;
}

std::vector<std::string> PlaceReceived(const fs::path& staging, const fs::path& dir) {
  std::vector<std::string> placed;
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(staging, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::vector<std::string> parts;
    for (const fs::path& p : file.lexically_relative(staging)) parts.push_back(p.string());
    const fs::path rel = OfficeRelative(parts);
    const fs::path folder = ResolveNoCase(dir / rel.parent_path());
    fs::create_directories(folder, ec);
    if (const auto old = FindNoCase(folder, rel.filename().string())) {
      if (fs::is_directory(*old, ec)) continue;  // a folder is never replaced by a file
      fs::remove(*old, ec);
    }
    fs::rename(file, folder / rel.filename(), ec);
    if (!ec) placed.push_back(rel.generic_string());
  }
  return placed;
}

}  // namespace marvolen::office
