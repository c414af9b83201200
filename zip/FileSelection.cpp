#include "zip/FileSelection.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/DosTime.h"
#include "platform/FileNames.h"
#include "zip/ArchiveError.h"

namespace marvolen {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxStarRuns = 30;

// Splits UTF-8 text into characters (a lead byte with its continuation bytes).
std::vector<std::string_view> Characters(std::string_view s) {
  std::vector<std::string_view> out;
  for (size_t i = 0; i < s.size();) {
    size_t n = 1;
    while (i + n < s.size() && (static_cast<unsigned char>(s[i + n]) & 0xC0) == 0x80) ++n;
    out.push_back(s.substr(i, n));
    i += n;
  }
  return out;
}

void CheckStarRuns(std::string_view mask) {
  int runs = 0;
  for (size_t i = 0; i < mask.size(); ++i) {
    if (mask[i] != '*' || (i > 0 && mask[i - 1] == '*')) continue;
    if (++runs > kMaxStarRuns) throw EInvalidMask(mask, static_cast<int>(i + 1));
  }
}

std::string ToSlashes(std::string_view s) {
  std::string out(s);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

bool HasWildcard(std::string_view s) {
  return s.find_first_of("*?") != std::string_view::npos;
}

std::string WithoutTrailingSlash(std::string s) {
  if (!s.empty() && s.back() == '/' && s.size() > 1) s.pop_back();
  return s;
}

// The base directory as an absolute path: empty is the current directory, an existing
// directory is found without regard to letter case, anything else is taken as written.
std::string ResolveBaseDir(std::string_view base_dir) {
  const fs::path cwd = fs::current_path();
  if (base_dir.empty()) return cwd.lexically_normal().string();
  fs::path p = fs::path(ToSlashes(base_dir));
  if (p.is_relative()) p = cwd / p;
  p = ResolveNoCase(p.lexically_normal());
  return WithoutTrailingSlash(p.lexically_normal().string());
}

std::string Join(const std::string& dir, std::string_view name) {
  if (!dir.empty() && dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

// The search path a mask stands for. A mask rooted with a separator is taken as it is when a
// second separator follows ("/srv/tablas/*.*"); with none it is appended to the base
// directory, as a relative mask is ("/*.*" is the base directory's own files, not the whole
// file system's).
std::string ComposeSearchPath(const std::string& base, const std::string& mask) {
  if (mask.empty() || mask[0] != '/') return Join(base, mask);
  if (mask.find('/', 1) != std::string::npos) return mask;
  return Join(base, mask.substr(1));
}

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
};

class Search {
 public:
  Search(const SelectionSettings& settings, uint32_t attr_mask, std::string_view exclude_mask,
         const RecordFoundItem& record)
      : settings_(settings),
        attr_mask_(attr_mask),
        exclude_mask_(ToSlashes(exclude_mask)),
        record_(record),
        base_(ResolveBaseDir(settings.BaseDir)) {
    struct stat st {};
    if (!settings.ArchivePath.empty() && ::stat(settings.ArchivePath.c_str(), &st) == 0) {
      archive_ = FileId{st.st_dev, st.st_ino};
    }
  }

  void Run(std::string_view file_mask) {
    const std::string mask = ToSlashes(file_mask);
    const bool has_separator = mask.find('/') != std::string::npos;
    const std::string search_path = ComposeSearchPath(base_, mask);
    const size_t cut = search_path.rfind('/');
    const std::string spelled_dir = fs::path(search_path.substr(0, cut + 1)).lexically_normal();
    const std::string pattern = search_path.substr(cut + 1);
    const std::string disk_dir = ResolveNoCase(spelled_dir).string();
    // Without a separator the mask is looked for again in every sub-directory; with one, only
    // a wildcard mask is.
    const bool recurse = settings_.Recurse && (!has_separator || HasWildcard(pattern));
    SearchDirectory(WithoutTrailingSlash(disk_dir), WithoutTrailingSlash(spelled_dir), pattern,
                    recurse);
  }

 private:
  struct Listed {
    std::string name;
    bool directory;
  };

  // Directory entries in name order. Symbolic links count as what they point to for files;
  // a linked directory is never entered, so a link cannot make the search loop.
  std::vector<Listed> List(const std::string& dir) const {
    std::vector<Listed> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code type_ec;
      const bool link = it->is_symlink(type_ec);
      const bool directory = !link && it->is_directory(type_ec);
      if (!directory && !it->is_regular_file(type_ec)) continue;  // fifos, devices, dangling
      out.push_back({it->path().filename().string(), directory});
    }
    std::sort(out.begin(), out.end(),
              [](const Listed& a, const Listed& b) { return a.name < b.name; });
    return out;
  }

  void SearchDirectory(const std::string& disk_dir, const std::string& spelled_dir,
                       const std::string& pattern, bool recurse) {
    const std::vector<Listed> entries = List(disk_dir);
    const uint32_t file_mask = attr_mask_ & ~uint32_t{kAttrDirectory};
    for (const Listed& e : entries) {
      if (e.directory || !MatchesListingPattern(e.name, pattern)) continue;
      const std::string path = Join(disk_dir, e.name);
      const uint32_t attributes = FileAttributes(path).value_or(kAttrArchive);
      if ((attributes & file_mask) == 0) continue;
      Deliver(path, Join(spelled_dir, e.name), false, attributes);
    }
    const bool take_directories = (attr_mask_ & kAttrDirectory) != 0;
    if (!take_directories && !recurse) return;
    const std::string search_path = Join(spelled_dir, pattern);
    for (const Listed& e : entries) {
      if (!e.directory) continue;
      const std::string path = Join(disk_dir, e.name);
      const std::string spelled = Join(spelled_dir, e.name);
      if (Excluded(path + "/", true)) continue;
      if (take_directories &&
          (MatchesMask(spelled, search_path) || MatchesMask(spelled + ".", search_path))) {
        if (Deliver(path + "/", spelled + "/", true, kAttrDirectory)) {
          SearchDirectory(path, spelled, "*.*", true);
        }
      } else if (recurse) {
        SearchDirectory(path, spelled, pattern, true);
      }
    }
  }

  bool IsArchive(const std::string& path) const {
    if (!archive_) return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == archive_->dev &&
           st.st_ino == archive_->ino;
  }

  bool Deliver(const std::string& full_path, const std::string& spelled, bool directory,
               uint32_t attributes) {
    if (Excluded(full_path, directory) || (!directory && IsArchive(full_path))) return false;
    if (settings_.OnConfirmProcessFile && !settings_.OnConfirmProcessFile(full_path)) {
      return false;
    }
    FoundItem item;
    item.FullPath = full_path;
    item.Directory = directory;
    item.StoredName = StoredNameOf(spelled, base_, settings_.StorePath);
    if (directory && (item.StoredName.empty() || item.StoredName.back() != '/')) {
      item.StoredName += '/';
    }
    item.Attributes = directory ? uint32_t{kAttrDirectory} : attributes;
    if (settings_.OnStoreFile) {
      std::string shown = item.StoredName;
      std::replace(shown.begin(), shown.end(), '/', '\\');
      settings_.OnStoreFile(shown, item.Attributes, item.Comment);
      item.StoredName = ToSlashes(shown);
    }
    return record_(item);
  }

  // Whether the exclusion mask leaves out `candidate` (absolute; a directory's ends in "/").
  bool Excluded(std::string candidate, bool directory) const {
    if (exclude_mask_.empty()) return false;
    if (exclude_mask_ == "*.*") return true;
    std::string mask = exclude_mask_;
    if (directory && mask.back() != '*' && mask.back() != '/') mask += '/';
    if (!directory) candidate = WithoutTrailingSlash(candidate);
    if (mask[0] == '/') mask = ComposeSearchPath(base_, mask);
    if (mask[0] == '/') {
      const std::string mask_dir = mask.substr(0, mask.rfind('/') + 1);
      const std::string mask_name = mask.substr(mask.rfind('/') + 1);
      // A directory's own path, with its trailing separator, is its directory part.
      const std::string cand_dir =
          directory ? candidate : candidate.substr(0, candidate.rfind('/') + 1);
      if (FoldCase(cand_dir) == FoldCase(mask_dir)) return MatchesMask(candidate, mask);
      return mask_name == "*.*" && FoldCase(candidate).rfind(FoldCase(mask_dir), 0) == 0;
    }
    std::string relative = fs::path(candidate).lexically_relative(base_).string();
    if (directory) relative = WithoutTrailingSlash(relative) + "/";
    if (mask.find('/') == std::string::npos || (directory && mask.find('/') == mask.size() - 1)) {
      const std::string body = WithoutTrailingSlash(relative);
      relative = body.substr(body.rfind('/') + 1) + (directory ? "/" : "");
    }
    return MatchesMask(relative, mask);
  }

  const SelectionSettings& settings_;
  uint32_t attr_mask_;
  std::string exclude_mask_;
  const RecordFoundItem& record_;
  std::string base_;
  std::optional<FileId> archive_;
};

}  // namespace

void SelectFiles(const SelectionSettings& settings, std::string_view file_mask, uint32_t attr_mask,
                 std::string_view exclude_mask, const RecordFoundItem& record) {
  Search(settings, attr_mask, exclude_mask, record).Run(file_mask);
}

std::string StoredNameOf(std::string_view full_path, std::string_view base_dir,
                         TStorePathMode store_path) {
  const std::string base = ResolveBaseDir(base_dir);
  fs::path path(ToSlashes(full_path));
  if (path.is_relative()) path = fs::path(base) / path;
  std::string full = WithoutTrailingSlash(path.lexically_normal().string());
  std::string name;
  switch (store_path) {
    case spNoPath:
      name = full.substr(full.rfind('/') + 1);
      break;
    case spRelativePath: {
      name = fs::path(full).lexically_relative(base).string();
      if (name.empty() || name == ".." || name.rfind("../", 0) == 0 ||
          name.find("/../") != std::string::npos) {
        name = full;
      }
      break;
    }
    case spFullPath:
      name = full;
      break;
  }
  while (!name.empty() && name[0] == '/') name.erase(0, 1);
  return name;
}

namespace {

// Glob match over characters with the usual single back-track point for "*": linear in
// practice, and never exponential however the stars are placed.
bool GlobMatch(const std::vector<std::string_view>& name,
               const std::vector<std::string_view>& mask) {
  size_t n = 0, m = 0;
  size_t star = std::string::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == "?" || mask[m] == name[n])) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == "*") {
      star = m++;
      resume = n;
    } else if (star != std::string::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == "*") ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesMask(std::string_view name, std::string_view mask) {
  CheckStarRuns(mask);
  const std::string folded_name = FoldCase(name);
  const std::string folded_mask = FoldCase(mask);
  return GlobMatch(Characters(folded_name), Characters(folded_mask));
}

bool MatchesListingPattern(std::string_view name, std::string_view pattern) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (MatchesMask(name, pattern)) return true;
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos) {
    return MatchesMask(name, pattern.substr(0, pattern.size() - 2));
  }
  return false;
}

}  // namespace marvolen
