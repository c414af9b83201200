#include "zip/ExtractionRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileNames.h"

namespace marvolen {

std::optional<std::string> DirectoryNames::Find(const std::string& key, int dir_fd,
                                                const std::string& name) {
  const Listing* listing = Load(key, dir_fd);
  if (listing == nullptr) return std::nullopt;
  const auto found = listing->find(FoldCase(name));
  if (found == listing->end() || found->second.empty()) return std::nullopt;
  if (found->second.count(name) != 0) return name;
  return *found->second.begin();
}

void DirectoryNames::Added(const std::string& key, const std::string& name) {
  const auto listing = listings_.find(key);
  if (listing != listings_.end()) listing->second[FoldCase(name)].insert(name);
}

void DirectoryNames::Removed(const std::string& key, const std::string& name) {
  const auto listing = listings_.find(key);
  if (listing == listings_.end()) return;
  const auto found = listing->second.find(FoldCase(name));
  if (found != listing->second.end()) found->second.erase(name);
}

DirectoryNames::Listing* DirectoryNames::Load(const std::string& key, int dir_fd) {
  if (const auto known = listings_.find(key); known != listings_.end()) return &known->second;
  const auto names = ListDirectory(io_.ops(), dir_fd);
  if (!names) return nullptr;
  Listing listing;
  for (const std::string& name : *names) listing[FoldCase(name)].insert(name);
  return &listings_.emplace(key, std::move(listing)).first->second;
}

FileSystemFlush::~FileSystemFlush() {
  for (const auto& [dev, fd] : file_systems_) io_.Close(fd);
}

void FileSystemFlush::Note(int dir_fd) {
  struct stat st {};
  if (io_.FStat(dir_fd, &st) != 0 || file_systems_.count(st.st_dev) != 0) return;
  const int copy = io_.Dup(dir_fd);
  if (copy >= 0) file_systems_.emplace(st.st_dev, copy);
}

void FileSystemFlush::Flush() noexcept {
  for (const auto& [dev, fd] : file_systems_) io_.SyncFs(fd);
}

}  // namespace marvolen
