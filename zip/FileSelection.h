// Finding the files and directories that a mask selects, and the names they carry inside an
// archive. The writer hands its masks here ("tablas/*.*"); each found item is delivered, in
// search order, to a callback that records it and answers whether it did.
//
// The search never changes the process's current directory: it reads it once (an empty base
// directory means the current one) and works on absolute paths from there. It still holds
// the process-wide search lock for the whole search, so that code which does change the
// current directory can take the same lock and never be seen half-way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace marvolen {

enum TStorePathMode : uint8_t { spNoPath, spRelativePath, spFullPath };

// Attribute mask the station passes: every attribute bit, directories included.
inline constexpr uint32_t kStationAttrMask = 10431;  // 0x28BF

// One selected file or directory.
struct FoundItem {
  std::string FullPath;  // absolute path on disk; a directory's ends in "/"
  bool Directory = false;
  std::string StoredName;   // name inside the archive, "/" separators; a directory's ends in "/"
  uint32_t Attributes = 0;  // attribute word; exactly 0x10 for a directory
  std::string Comment;
};

struct SelectionSettings {
  std::string BaseDir;  // empty: the current directory
  TStorePathMode StorePath = spRelativePath;
  bool Recurse = true;
  // The archive being written: never selected, whatever name it is reached by.
  std::string ArchivePath;
  // May refuse a file (full path); unset confirms every file.
  std::function<bool(const std::string& full_path)> OnConfirmProcessFile;
  // May change the stored name (shown with "\" separators), the attribute word and the
  // comment of an item before it is recorded; unset changes nothing.
  std::function<void(std::string& stored_name, uint32_t& attributes, std::string& comment)>
      OnStoreFile;
};

// Records one item; answers whether it was recorded (a directory is searched further only
// when it was).
using RecordFoundItem = std::function<bool(const FoundItem& item)>;

// Searches for `file_mask` ("\" or "/" separators) below the base directory and delivers
// every file whose attribute word shares a bit with `attr_mask`, and, when the mask holds
// the directory bit 0x10, every matching directory with its whole content. Items come in
// name order within a directory, files first, then each sub-directory depth first.
// Errors from the callback, the events or the mask matcher end the search and pass on.
void SelectFiles(const SelectionSettings& settings, std::string_view file_mask, uint32_t attr_mask,
                 std::string_view exclude_mask, const RecordFoundItem& record);

// The name a file carries inside the archive: `full_path` made relative to the base
// directory (or reduced to its file name, or kept whole, as `store_path` says), with "/"
// separators and no leading separator. An empty `base_dir` is the current directory.
std::string StoredNameOf(std::string_view full_path, std::string_view base_dir,
                         TStorePathMode store_path);

// Mask match without regard to letter case: "*" any run of characters, "?" exactly one
// character (a UTF-8 sequence counts as one). Throws EInvalidMask for a mask with more than
// 30 runs of "*".
bool MatchesMask(std::string_view name, std::string_view mask);

// The file system's own pattern rule for listing a directory: as MatchesMask, except that a
// trailing ".*" also matches a name without a dot ("*.*" lists every file).
bool MatchesListingPattern(std::string_view name, std::string_view pattern);

}  // namespace marvolen
