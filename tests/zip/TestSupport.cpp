#include "TestSupport.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace marvolen::testing {

void ScratchDir::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "marvolen-zip-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
  previous_ = fs::current_path();
  fs::current_path(dir_);
}

void ScratchDir::TearDown() {
  fs::current_path(previous_);
  std::error_code ec;
  // Read-only files and directories left by a test must not keep the scratch tree alive.
  for (auto it = fs::recursive_directory_iterator(dir_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(dir_, ec);
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string TableLikeBytes(size_t size, unsigned seed) {
  static const char* const kWords[] = {"TARIFA", "LOCAL", "NACIONAL", "CELULAR", "INTER",
                                       "NOCTURNA", "FERIADO", "PASO"};
  std::string out;
  out.reserve(size + 64);
  unsigned x = seed * 2654435761u + 1;
  while (out.size() < size) {
    x = x * 1103515245u + 12345u;
    out += kWords[(x >> 16) % 8];
    out += ';';
    out += std::to_string((x >> 8) % 100000);
    out += ';';
    out += std::to_string(x % 977);
    out += "\r\n";
  }
  out.resize(size);
  return out;
}

RunResult Shell(const std::string& command) {
  RunResult result;
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string PythonListing(const fs::path& archive) {
  return Shell("python3 -c 'import sys, zipfile\n"
             "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
             "    print(i.filename, i.file_size, \"%08x\" % i.CRC)' " +
             archive.string())
      .output;
}

}  // namespace marvolen::testing

#include <cerrno>
#include <cstring>

namespace marvolen::testing {

int FaultyIo::Open(const char* path, int flags, mode_t mode) {
  if (!refuse_open.empty() && std::strstr(path, refuse_open.c_str()) != nullptr &&
      open_failures != 0) {
    if (open_failures > 0) --open_failures;
    errno = EACCES;
    return -1;
  }
  return ArchiveIo::Open(path, flags, mode);
}

ssize_t FaultyIo::PWrite(int fd, const void* buffer, size_t count, off_t offset) {
  if (!refuse_write_of.empty() && count >= refuse_write_of.size() &&
      std::memcmp(buffer, refuse_write_of.data(), refuse_write_of.size()) == 0 &&
      write_failures != 0) {
    if (write_failures > 0) --write_failures;
    errno = ENOSPC;
    return -1;
  }
  return ArchiveIo::PWrite(fd, buffer, count, offset);
}

int FaultyIo::FStatVfs(int fd, struct statvfs* st) {
  const int rc = ArchiveIo::FStatVfs(fd, st);
  if (rc == 0 && fake_space) fake_space(st);
  return rc;
}

int FaultyIo::MkdirAt(int dir_fd, const char* name, mode_t mode) {
  if (!refuse_mkdir.empty() && refuse_mkdir == name) {
    errno = EACCES;
    return -1;
  }
  return ArchiveIo::MkdirAt(dir_fd, name, mode);
}

}  // namespace marvolen::testing
