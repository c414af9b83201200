// A directory of its own for every test. Tests run side by side, in this build and in others
// on the same machine, so a name fixed in the source (or made of the test's name or the
// process id) can be taken by another run at the same moment: mkdtemp picks a fresh one.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace marvolen::scratch {

// A new, empty directory under the system's temporary directory, named `prefix` and six
// random characters.
inline std::filesystem::path NewScratchDir(std::string_view prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / ("marvolen-" + std::string(prefix) + "-XXXXXX"))
          .string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  return pattern;
}

// A scratch directory that is removed with everything in it when the object goes.
class ScratchDir {
 public:
  explicit ScratchDir(std::string_view prefix) : path_(NewScratchDir(prefix)) {}
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace marvolen::scratch
