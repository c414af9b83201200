#include "zip/EntryNames.h"

#include <sys/stat.h>

namespace marvolen {

namespace {

bool IsDriveLetter(std::string_view component) {
  if (component.size() < 2 || component[1] != ':') return false;
  const char c = component[0];
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

CheckedEntryName CheckEntryName(std::string_view name) {
  CheckedEntryName out;
  if (name.empty() || name.find('\0') != std::string_view::npos) return out;
  if (name[0] == '/' || name[0] == '\\') {
    out.verdict = EntryNameVerdict::kEscapes;
    return out;
  }
  std::string current;
  bool first = true;
  auto flush = [&]() -> bool {
    if (first && IsDriveLetter(current)) return false;
    first = false;
    if (current == "..") return false;
    if (!current.empty() && current != ".") out.components.push_back(current);
    current.clear();
    return true;
  };
  for (const char c : name) {
    if (c == '/' || c == '\\') {
      if (!flush()) {
        out.verdict = EntryNameVerdict::kEscapes;
        out.components.clear();
        return out;
      }
    } else {
      current += c;
    }
  }
  if (!flush()) {
    out.verdict = EntryNameVerdict::kEscapes;
    out.components.clear();
    return out;
  }
  out.verdict = out.components.empty() ? EntryNameVerdict::kMalformed : EntryNameVerdict::kPlain;
  return out;
}

bool IsSymbolicLinkEntry(uint16_t version_made_by, uint32_t external_attributes) {
  const unsigned host = version_made_by >> 8;
  if (host != 3 && host != 19) return false;  // only Unix and OS X hosts keep a file type
  return ((external_attributes >> 16) & S_IFMT) == S_IFLNK;
}

}  // namespace marvolen
