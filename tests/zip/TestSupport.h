// Helpers shared by the archive tests: a scratch directory per test, whole-file reads and
// writes, running a peer program, and little-endian field reads on archive bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace marvolen::testing {

namespace fs = std::filesystem;

// A fresh directory that is also the current directory while the test runs.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  fs::path dir_;
  fs::path previous_;
};

void WriteFile(const fs::path& path, const std::string& bytes);
std::string ReadFile(const fs::path& path);
// Bytes that deflate like table files do: digits, separators, repeated words.
std::string TableLikeBytes(size_t size, unsigned seed);

struct RunResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};
// Runs `command` through the shell.
RunResult Shell(const std::string& command);

inline uint16_t U16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b.at(at)) |
                               (static_cast<unsigned char>(b.at(at + 1)) << 8));
}
inline uint32_t U32(const std::string& b, size_t at) {
  return U16(b, at) | (static_cast<uint32_t>(U16(b, at + 2)) << 16);
}

// The entries a python3 zipfile read of `archive` reports: "name size crc" lines.
std::string PythonListing(const fs::path& archive);

}  // namespace marvolen::testing

#include <functional>

#include "platform/FileOps.h"

namespace marvolen::testing {

// The real system calls, except where a test makes one fail.
class FaultyIo : public FileOps {
 public:
  FaultyIo();
  FaultyIo(const FaultyIo&) = delete;
  FaultyIo& operator=(const FaultyIo&) = delete;

  // Open of a path containing this text fails with EACCES, `open_failures` times (-1: always).
  std::string refuse_open;
  int open_failures = -1;
  // A write whose bytes begin with this text fails with ENOSPC, `write_failures` times.
  std::string refuse_write_of;
  int write_failures = -1;
  // Free space reported for every directory (unset: the real figure).
  std::function<void(struct statvfs*)> fake_space;
  // Creating a directory with this name fails with EACCES.
  std::string refuse_mkdir;
};

}  // namespace marvolen::testing

namespace marvolen::testing {

// One entry of a hand-made archive. The fields go into both headers as given, so a test can
// make any of them lie.
struct RawEntry {
  std::string name;
  std::string data;  // the bytes stored (already compressed for method 8)
  uint16_t method = 0;
  uint32_t crc = 0;
  uint32_t usize = 0;
  uint16_t flags = 0;
  uint16_t made_by = 20;
  uint32_t attributes = 0x20;
  int64_t offset = -1;  // central directory's local header offset; -1 the real one
};
RawEntry StoredEntry(const std::string& name, const std::string& content);
RawEntry DeflatedEntry(const std::string& name, const std::string& content);
std::string RawDeflateOf(const std::string& content);
uint32_t CrcOf(const std::string& content);
// Local headers and data, central directory, end record and comment.
std::string BuildArchive(const std::vector<RawEntry>& entries, const std::string& comment = "");

}  // namespace marvolen::testing
