// Archive component against Info-ZIP, on the same files, as ratios from one run:
//   packing 20 MB of table-like files at level 1      (ours / zip -1 -q)
//   extracting them, with and without flushing        (ours / unzip -q)
//   peak memory while packing one 200 MB file          (ours and zip, in MB)
// Built and run by bench/zip_bench.sh after the normal build; not part of ./test.sh.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "zip/ZipArchiver.h"

namespace fs = std::filesystem;
using marvolen::TZipArchiver;

namespace {

std::string TableBytes(size_t size, unsigned seed) {
  static const char* const kWords[] = {"TARIFA", "LOCAL", "NACIONAL", "CELULAR", "INTER"};
  std::string out;
  unsigned x = seed;
  while (out.size() < size) {
    x = x * 1103515245u + 12345u;
    out += kWords[(x >> 16) % 5] + std::string(";") + std::to_string((x >> 8) % 100000) + ";" +
           std::to_string(x % 977) + "\r\n";
  }
  out.resize(size);
  return out;
}

void Write(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Best wall time of three runs, in seconds; `prepare` runs untimed before each.
double Best(const std::function<void()>& prepare, const std::function<void()>& work) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    work();
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

void Pack(const std::string& archive, const std::string& mask) {
  TZipArchiver zip;
  zip.SetFileName(archive);
  zip.OpenZip(marvolen::kOpenCreate);
  zip.AddMatching(mask);
  zip.CloseZip();
}

void Extract(const std::string& archive, const std::string& into, bool flush) {
  TZipArchiver zip;
  zip.SetFileName(archive);
  zip.Options().FlushBuffers = flush;
  zip.OpenZip(marvolen::kOpenRead);
  zip.SetBaseDir(into);
  zip.ExtractMatching();
  zip.CloseZip();
}

// Peak resident memory of `work` run in a child process, in MB.
double PeakMb(const std::function<void()>& work) {
  const pid_t pid = fork();
  if (pid == 0) {
    work();
    _exit(0);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss / 1024.0;
}

}  // namespace

int main() {
  const fs::path root = fs::temp_directory_path() / ("marvolen-bench-" + std::to_string(getpid()));
  fs::create_directories(root);
  fs::current_path(root);
  for (int i = 0; i < 200; ++i)
    Write("tablas/t" + std::to_string(i) + ".tbl", TableBytes(100000, i));

  const double ours_pack =
      Best([] { fs::remove("ours.zip"); }, [] { Pack("ours.zip", "tablas/*.*"); });
  const double zip_pack =
      Best([] { fs::remove("peer.zip"); }, [] { Shell("zip -1 -q -r peer.zip tablas"); });
  std::printf("pack 20 MB:    ours %.3f s, zip -1 %.3f s, ratio %.2f\n", ours_pack, zip_pack,
              ours_pack / zip_pack);

  auto clean = [] { fs::remove_all("out"); };
  const double ours_flush = Best(clean, [] { Extract("ours.zip", "out", true); });
  const double ours_noflush = Best(clean, [] { Extract("ours.zip", "out", false); });
  const double unzip = Best(clean, [] { Shell("unzip -q -o ours.zip -d out"); });
  std::printf(
      "extract 20 MB: ours flushed %.3f s (ratio %.2f), ours unflushed %.3f s (ratio %.2f), "
      "unzip %.3f s\n",
      ours_flush, ours_flush / unzip, ours_noflush, ours_noflush / unzip, unzip);

  Write("big/grande.bin", TableBytes(200u << 20, 99));
  const double ours_mb = PeakMb([] { Pack("big.zip", "big/*.*"); });
  const double zip_mb =
      PeakMb([] { execlp("zip", "zip", "-1", "-q", "bigpeer.zip", "big/grande.bin", nullptr); });
  std::printf("pack 200 MB file, peak memory: ours %.1f MB, zip -1 %.1f MB\n", ours_mb, zip_mb);

  fs::current_path("/");
  fs::remove_all(root);
  return 0;
}
