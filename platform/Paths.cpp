#include "platform/Paths.h"

#include <cstdlib>
#include <system_error>

namespace marvolen {

std::filesystem::path StationHome() {
  if (const char* home = std::getenv("MARVOLEN_HOME"); home != nullptr && *home != '\0') {
    return std::filesystem::absolute(home);
  }
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path();
  return exe.parent_path();
}

}  // namespace marvolen
