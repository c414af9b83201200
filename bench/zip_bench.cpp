// Archive component against Info-ZIP, on the same files, as ratios from one run:
//   packing 200 files of 4 KiB at level 1              (ours / zip -1 -q; target <= 1.0)
//   packing 200 files of 100 KB and one of 64 MB       (ours / zip -1 -q; target <= 0.8)
//   extracting 20 MB, with and without flushing        (ours / unzip -q)
//   extracting 8,000 and 65,535 small entries           (ours / unzip -q; target <= 3)
//   peak memory while packing one 200 MB file          (ours and zip, in MB)
// Built and run by bench/zip_bench.sh after the normal build; not part of ./test.sh.
// `zip_bench quick` leaves out the 65,535-entry and the 200 MB runs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Best wall time of `runs` runs, in seconds; `prepare` runs untimed before each.
double Best(const std::function<void()>& prepare, const std::function<void()>& work, int runs = 3) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
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

long MinorFaults(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_minflt;
}

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Cost {
  double wall = 1e9;  // best of the runs, seconds
  double cpu = 1e9;   // best of the runs, user + system seconds
  long faults = 0;    // minor page faults per run
};

// `work` run `runs` times; `who` says whose CPU it spends (RUSAGE_SELF or RUSAGE_CHILDREN).
Cost Measure(int who, const std::function<void()>& prepare, const std::function<void()>& work,
             int runs) {
  Cost cost;
  const long faults_before = MinorFaults(who);
  for (int i = 0; i < runs; ++i) {
    prepare();
    const double cpu_before = CpuSeconds(who);
    const auto start = std::chrono::steady_clock::now();
    work();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.wall = std::min(cost.wall, wall);
    cost.cpu = std::min(cost.cpu, CpuSeconds(who) - cpu_before);
  }
  cost.faults = (MinorFaults(who) - faults_before) / runs;
  return cost;
}

// Packs `dir` with ours and with zip -1, turn about, and prints the times and the ratios:
// wall time, and CPU time, which other work on the machine disturbs less.
void ComparePacking(const char* what, const std::string& dir, int runs) {
  Cost ours, peer;
  for (int round = 0; round < runs; ++round) {
    const Cost o = Measure(
        RUSAGE_SELF, [] { fs::remove("ours.zip"); }, [&] { Pack("ours.zip", dir + "/*.*"); }, 1);
    const Cost p = Measure(
        RUSAGE_CHILDREN, [] { fs::remove("peer.zip"); },
        [&] { Shell("zip -1 -q -r peer.zip " + dir); }, 1);
    ours = {std::min(ours.wall, o.wall), std::min(ours.cpu, o.cpu), o.faults};
    peer = {std::min(peer.wall, p.wall), std::min(peer.cpu, p.cpu), p.faults};
  }
  std::printf(
      "pack %-22s ours %.3f s, zip -1 %.3f s, ratio %.2f; CPU %.3f s vs %.3f s, ratio %.2f"
      "  (page faults %ld vs %ld)\n",
      what, ours.wall, peer.wall, ours.wall / peer.wall, ours.cpu, peer.cpu, ours.cpu / peer.cpu,
      ours.faults, peer.faults);
  std::fflush(stdout);
}

// Extracts `archive` with ours (flushed as the station does, and unflushed) and with unzip.
void CompareExtraction(const char* what, const std::string& archive, int runs) {
  // The deletion of the last run's files reaches the disk before the next run is timed.
  auto clean = [] {
    fs::remove_all("out");
    ::sync();
  };
  const double flushed = Best(
      clean, [&] { Extract(archive, "out", true); }, runs);
  const double unflushed = Best(
      clean, [&] { Extract(archive, "out", false); }, runs);
  const double unzip = Best(
      clean, [&] { Shell("unzip -q -o " + archive + " -d out"); }, runs);
  std::printf(
      "extract %-19s ours flushed %.3f s (ratio %.2f), unflushed %.3f s (ratio %.2f), "
      "unzip -q %.3f s\n",
      what, flushed, flushed / unzip, unflushed, unflushed / unzip, unzip);
  std::fflush(stdout);
  clean();
}

void SmallEntries(int count, const char* what, int runs) {
  fs::remove_all("many");
  for (int i = 0; i < count; ++i) {
    Write("many/f" + std::to_string(100000 + i) + ".tbl", TableBytes(200 + i % 300, i));
  }
  fs::remove("many.zip");
  Pack("many.zip", "many/*.*");
  CompareExtraction(what, "many.zip", runs);
  fs::remove_all("many");
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "quick") == 0;
  const fs::path root = fs::temp_directory_path() / ("marvolen-bench-" + std::to_string(getpid()));
  fs::create_directories(root);
  fs::current_path(root);

  for (int i = 0; i < 200; ++i) Write("small/s" + std::to_string(i) + ".tbl", TableBytes(4096, i));
  ComparePacking("200 x 4 KiB:", "small", 9);
  for (int i = 0; i < 200; ++i)
    Write("tablas/t" + std::to_string(i) + ".tbl", TableBytes(100000, i));
  ComparePacking("200 x 100 KB:", "tablas", 3);
  Write("large/grande.bin", TableBytes(64u << 20, 7));
  ComparePacking("1 x 64 MB:", "large", 5);
  fs::remove_all("large");

  fs::remove("ours.zip");
  Pack("ours.zip", "tablas/*.*");
  CompareExtraction("20 MB:", "ours.zip", 3);
  SmallEntries(8000, "8,000 entries:", 3);
  if (!quick) SmallEntries(65535, "65,535 entries:", 2);

  if (!quick) {
    Write("big/grande.bin", TableBytes(200u << 20, 99));
    const double ours_mb = PeakMb([] { Pack("big.zip", "big/*.*"); });
    const double zip_mb =
        PeakMb([] { execlp("zip", "zip", "-1", "-q", "bigpeer.zip", "big/grande.bin", nullptr); });
    std::printf("pack 200 MB file, peak memory: ours %.1f MB, zip -1 %.1f MB\n", ours_mb, zip_mb);
  }

  fs::current_path("/");
  fs::remove_all(root);
  return 0;
}
