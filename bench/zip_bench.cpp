// The archive component against Info-ZIP on the same files, both run as programs: the
// station's `marvolen-zip` beside `zip -1 -q` and `unzip -q`, so that each side pays its
// own process start, its reads and writes, and its flush. marvolen-zip flushes what it
// writes (the archive it packs, the file system it extracts into), as the station does; the
// peers are followed by coreutils' `sync` on the same file or file system, and that `sync`
// is counted on their side.
//
// Each figure is the median of the runs, with their minimum and maximum, of the wall time
// and of the CPU time (user + system, read with wait4 for exactly the processes of that side
// once they have ended), and the ratio ours / peer of the medians:
//   packing 200 files of 4 KiB, 200 of 100 KB, one of 64 MB    (marvolen-zip create / zip -1)
//   extracting 20 MB, 8,000 and 65,535 small entries          (marvolen-zip extract / unzip)
//   peak memory while packing one 200 MB file                 (resident MB, both sides)
// Sides take turns in each round, so that a disturbance of the machine falls on both.
// Built and run by bench/zip_bench.sh after the normal build; not part of ./test.sh.
// `zip_bench MARVOLEN_ZIP quick` leaves out the 65,535-entry and the 200 MB runs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

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

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// What one side's processes cost, summed over the commands of one run.
struct Run {
  double wall = 0;  // seconds from the first start to the last end
  double cpu = 0;   // user + system seconds of the processes themselves
  double peak_mb = 0;
};

// Runs each command of `commands` in turn in `dir`, as a program of its own (no shell); a
// command that fails stops the benchmark.
Run RunCommands(const std::vector<std::vector<std::string>>& commands, const fs::path& dir) {
  Run run;
  const auto start = std::chrono::steady_clock::now();
  for (const auto& command : commands) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(dir.c_str()) != 0) ::_exit(127);
      std::vector<char*> argv;
      for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "failed: %s\n", command.front().c_str());
      std::exit(1);
    }
    run.cpu += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    run.peak_mb = std::max(run.peak_mb, static_cast<double>(usage.ru_maxrss) / 1024.0);
  }
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

// The median, minimum and maximum of a figure over the runs.
struct Spread {
  double median, min, max;
};
Spread SpreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {median, values.front(), values.back()};
}

struct Side {
  std::vector<std::vector<std::string>> commands;
  std::function<void()> prepare;  // untimed, before each run
  std::vector<double> wall, cpu;
};

// Runs both sides `rounds` times, turn about, and prints the medians, spreads and ratios.
void Compare(const char* what, Side& ours, Side& peer, int rounds, const fs::path& dir) {
  for (int round = 0; round < rounds; ++round) {
    for (Side* side : {&ours, &peer}) {
      side->prepare();
      const Run run = RunCommands(side->commands, dir);
      side->wall.push_back(run.wall);
      side->cpu.push_back(run.cpu);
    }
  }
  const Spread ow = SpreadOf(ours.wall), pw = SpreadOf(peer.wall);
  const Spread oc = SpreadOf(ours.cpu), pc = SpreadOf(peer.cpu);
  std::printf(
      "%-26s wall ours %.3f s (%.3f-%.3f), peer %.3f s (%.3f-%.3f), ratio %.2f; "
      "CPU ours %.3f s (%.3f-%.3f), peer %.3f s (%.3f-%.3f), ratio %.2f  [%d runs]\n",
      what, ow.median, ow.min, ow.max, pw.median, pw.min, pw.max, ow.median / pw.median, oc.median,
      oc.min, oc.max, pc.median, pc.min, pc.max, oc.median / pc.median, rounds);
  std::fflush(stdout);
}

void ComparePacking(const std::string& ours_zip, const char* what, const std::string& dir,
                    int rounds) {
  Side ours{
      {{ours_zip, "create", "ours.zip", dir + "/*.*"}}, [] { fs::remove("ours.zip"); }, {}, {}};
  Side peer{{{"zip", "-1", "-q", "-r", "peer.zip", dir}, {"sync", "peer.zip"}},
            [] { fs::remove("peer.zip"); },
            {},
            {}};
  Compare(what, ours, peer, rounds, fs::current_path());
}

// Extracts `archive` into an empty "out", the deletion of the last run's files flushed first.
void CompareExtraction(const std::string& ours_zip, const char* what, const std::string& archive,
                       int rounds) {
  const fs::path out = fs::current_path() / "out";
  const fs::path path = fs::absolute(archive);
  const auto clean = [out] {
    fs::remove_all(out);
    fs::create_directory(out);
    ::sync();
  };
  Side ours{{{ours_zip, "extract", path}}, clean, {}, {}};
  Side peer{{{"unzip", "-q", "-o", path}, {"sync", "-f", "."}}, clean, {}, {}};
  Compare(what, ours, peer, rounds, out);
  fs::remove_all(out);
}

void SmallEntries(const std::string& ours_zip, int count, const char* what, int rounds) {
  fs::remove_all("many");
  for (int i = 0; i < count; ++i) {
    Write("many/f" + std::to_string(100000 + i) + ".tbl", TableBytes(200 + i % 300, i));
  }
  fs::remove("many.zip");
  RunCommands({{ours_zip, "create", "many.zip", "many/*.*"}}, fs::current_path());
  CompareExtraction(ours_zip, what, "many.zip", rounds);
  fs::remove_all("many");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zip_bench MARVOLEN_ZIP [quick]\n");
    return 2;
  }
  const std::string ours_zip = fs::absolute(argv[1]);
  const bool quick = argc > 2 && std::strcmp(argv[2], "quick") == 0;
  const fs::path root = fs::temp_directory_path() / ("marvolen-bench-" + std::to_string(getpid()));
  fs::create_directories(root);
  fs::current_path(root);

  for (int i = 0; i < 200; ++i) Write("small/s" + std::to_string(i) + ".tbl", TableBytes(4096, i));
  ComparePacking(ours_zip, "pack 200 x 4 KiB:", "small", 9);
  for (int i = 0; i < 200; ++i)
    Write("tablas/t" + std::to_string(i) + ".tbl", TableBytes(100000, i));
  ComparePacking(ours_zip, "pack 200 x 100 KB:", "tablas", 5);
  Write("large/grande.bin", TableBytes(64u << 20, 7));
  ComparePacking(ours_zip, "pack 1 x 64 MB:", "large", 5);
  fs::remove_all("large");

  fs::remove("ours.zip");
  RunCommands({{ours_zip, "create", "ours.zip", "tablas/*.*"}}, fs::current_path());
  CompareExtraction(ours_zip, "extract 20 MB:", "ours.zip", 5);
  SmallEntries(ours_zip, 8000, "extract 8,000 entries:", 3);
  if (!quick) SmallEntries(ours_zip, 65535, "extract 65,535 entries:", 3);

  if (!quick) {
    Write("big/grande.bin", TableBytes(200u << 20, 99));
    const Run ours = RunCommands({{ours_zip, "create", "big.zip", "big/*.*"}}, root);
    const Run peer = RunCommands({{"zip", "-1", "-q", "bigpeer.zip", "big/grande.bin"}}, root);
    std::printf("pack 200 MB file, peak memory: ours %.1f MB, zip -1 %.1f MB, ratio %.2f\n",
                ours.peak_mb, peer.peak_mb, ours.peak_mb / peer.peak_mb);
  }

  fs::current_path("/");
  fs::remove_all(root);
  return 0;
}
