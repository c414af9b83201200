#include "TestSupport.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/ScratchDir.h"

namespace marvolen::testing {

void ScratchDir::SetUp() {
  dir_ = scratch::NewScratchDir("zip");
  previous_ = fs::current_path();
  fs::current_path(dir_);
}

void ScratchDir::TearDown() {
  fs::current_path(previous_);
  std::error_code ec;
  // Read-only files and directories left by a test must not keep the scratch tree alive.
  for (auto it = fs::recursive_directory_iterator(dir_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink())
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
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
  static const char* const kWords[] = {"TARIFA", "LOCAL",    "NACIONAL", "CELULAR",
                                       "INTER",  "NOCTURNA", "FERIADO",  "PASO"};
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
  return Shell(
             "python3 -c 'import sys, zipfile\n"
             "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
             "    print(i.filename, i.file_size, \"%08x\" % i.CRC)' " +
             archive.string())
      .output;
}

}  // namespace marvolen::testing

#include <cerrno>
#include <cstring>

namespace marvolen::testing {

FaultyIo::FaultyIo() : FileOps(SystemFileOps()) {
  const FileOps& sys = SystemFileOps();
  open = [this, &sys](const char* path, int flags, mode_t mode) {
    if (!refuse_open.empty() && std::strstr(path, refuse_open.c_str()) != nullptr &&
        open_failures != 0) {
      if (open_failures > 0) --open_failures;
      return errno = EACCES, -1;
    }
    return sys.open(path, flags, mode);
  };
  pwrite = [this, &sys](int fd, const void* buffer, size_t count, off_t offset) -> ssize_t {
    if (!refuse_write_of.empty() && count >= refuse_write_of.size() &&
        std::memcmp(buffer, refuse_write_of.data(), refuse_write_of.size()) == 0 &&
        write_failures != 0) {
      if (write_failures > 0) --write_failures;
      return errno = ENOSPC, -1;
    }
    return sys.pwrite(fd, buffer, count, offset);
  };
  fstatvfs = [this, &sys](int fd, struct statvfs* st) {
    const int rc = sys.fstatvfs(fd, st);
    if (rc == 0 && fake_space) fake_space(st);
    return rc;
  };
  mkdirat = [this, &sys](int dir_fd, const char* name, mode_t mode) {
    if (!refuse_mkdir.empty() && refuse_mkdir == name) return errno = EACCES, -1;
    return sys.mkdirat(dir_fd, name, mode);
  };
}

}  // namespace marvolen::testing

#include <zlib.h>

namespace marvolen::testing {

namespace {
void Le16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Le32(std::string& out, uint32_t v) {
  Le16(out, v & 0xFFFF);
  Le16(out, v >> 16);
}
}  // namespace

uint32_t CrcOf(const std::string& s) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

std::string RawDeflateOf(const std::string& content) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, content.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  z.avail_in = static_cast<uInt>(content.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

RawEntry StoredEntry(const std::string& name, const std::string& content) {
  RawEntry e;
  e.name = name;
  e.data = content;
  e.crc = CrcOf(content);
  e.usize = static_cast<uint32_t>(content.size());
  return e;
}

RawEntry DeflatedEntry(const std::string& name, const std::string& content) {
  RawEntry e = StoredEntry(name, content);
  e.method = 8;
  e.data = RawDeflateOf(content);
  return e;
}

std::string BuildArchive(const std::vector<RawEntry>& entries, const std::string& comment) {
  std::string body, cd;
  for (const RawEntry& e : entries) {
    const uint32_t offset = static_cast<uint32_t>(body.size());
    Le32(body, 0x04034B50);
    for (uint32_t v : {20u, uint32_t{e.flags}, uint32_t{e.method}, 0u, 0x5C87u}) Le16(body, v);
    Le32(body, e.crc);
    Le32(body, static_cast<uint32_t>(e.data.size()));
    Le32(body, e.usize);
    Le16(body, static_cast<uint32_t>(e.name.size()));
    Le16(body, 0);
    body += e.name + e.data;
    Le32(cd, 0x02014B50);
    for (uint32_t v :
         {uint32_t{e.made_by}, 20u, uint32_t{e.flags}, uint32_t{e.method}, 0u, 0x5C87u}) {
      Le16(cd, v);
    }
    Le32(cd, e.crc);
    Le32(cd, static_cast<uint32_t>(e.data.size()));
    Le32(cd, e.usize);
    Le16(cd, static_cast<uint32_t>(e.name.size()));
    for (int i = 0; i < 4; ++i) Le16(cd, 0);
    Le32(cd, e.attributes);
    Le32(cd, e.offset >= 0 ? static_cast<uint32_t>(e.offset) : offset);
    cd += e.name;
  }
  std::string out = body + cd;
  Le32(out, 0x06054B50);
  Le32(out, 0);
  Le16(out, static_cast<uint32_t>(entries.size()));
  Le16(out, static_cast<uint32_t>(entries.size()));
  Le32(out, static_cast<uint32_t>(cd.size()));
  Le32(out, static_cast<uint32_t>(body.size()));
  Le16(out, static_cast<uint32_t>(comment.size()));
  return out + comment;
}

}  // namespace marvolen::testing
