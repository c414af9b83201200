// Throughput of the block transfer on a line paced at a modem's speed, side by side with
// lrzsz over the same line. Prints figures; judges nothing.
//
//   bench_transfer [KIB] [SPEED...]     defaults: 200 KiB at 9600 and 38400 bit/s
//
// The line is a relay between two socket pairs that passes at most speed/10 bytes a second
// in each direction (start and stop bit per byte), in slices of 10 ms, as a serial line
// delivers them. Three runs per speed: our sender to rx -c, sx -k to our receiver, and
// sx -k to rx -c. rx holds its ACK to EOT back for about a second; that second is counted.
// The cpu column is the CPU time of the thread running Marvolen's side only (the relay's
// threads and the peer process are not in it), so it is no comparison with lrzsz: for CPU
// like for like see bench/line_cpu.py (its transfer and receive phases).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "transfer/TransferArchive.h"
#include "transfer/TransferFdLine.h"
#include "transfer/TransferReceiver.h"
#include "transfer/TransferSender.h"

extern char** environ;

namespace {

using namespace marvolen;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

// Moves bytes from one descriptor to another no faster than the line would: each slice is
// handed on when its last byte would have arrived.
void PacedCopy(int from, int to, long bytes_per_second, const std::atomic<bool>& stop) {
  const long slice = std::max(1L, bytes_per_second / 100);
  std::vector<char> buffer(static_cast<std::size_t>(slice));
  Steady::time_point line_free = Steady::now();
  while (!stop) {
    pollfd p{from, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n <= 0) break;
    line_free = std::max(line_free, Steady::now()) +
                std::chrono::microseconds(n * 1000000LL / bytes_per_second);
    std::this_thread::sleep_until(line_free);
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w <= 0) return;
      done += w;
    }
  }
  ::shutdown(to, SHUT_WR);
}

// Two socket pairs joined by a paced relay: near() for one end, far() for the other.
class PacedLine {
 public:
  explicit PacedLine(long bits_per_second) {
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, a_);
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, b_);
    const long bps = bits_per_second / 10;
    there_ = std::thread(PacedCopy, a_[1], b_[0], bps, std::cref(stop_));
    back_ = std::thread(PacedCopy, b_[0], a_[1], bps, std::cref(stop_));
  }
  ~PacedLine() {
    stop_ = true;
    there_.join();
    back_.join();
    for (int fd : {a_[0], a_[1], b_[0], b_[1]}) ::close(fd);
  }
  int near() const { return a_[0]; }
  int far() const { return b_[1]; }

 private:
  int a_[2];
  int b_[2];
  std::atomic<bool> stop_{false};
  std::thread there_;
  std::thread back_;
};

pid_t Spawn(const std::vector<std::string>& argv, int fd, const fs::path& cwd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, 0);
  posix_spawn_file_actions_adddup2(&actions, fd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return pid;
}

bool Reap(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::kill(-pid, SIGKILL);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double ThreadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void Report(long speed, const char* run, std::size_t bytes, double seconds, double cpu, bool ok) {
  const double limit = static_cast<double>(speed) / 10.0;
  const double rate = static_cast<double>(bytes) / seconds;
  std::printf("%6ld  %-22s %8zu  %8.1f  %7.1f  %6.1f %%  %s  %s\n", speed, run, bytes, seconds,
              rate, 100.0 * rate / limit,
              cpu >= 0 ? std::to_string(cpu).substr(0, 5).c_str() : "  -  ", ok ? "ok" : "FAILED");
  std::fflush(stdout);
}

double Since(Steady::time_point t) {
  return std::chrono::duration<double>(Steady::now() - t).count();
}

void RunSpeed(long speed, const fs::path& dir, const std::string& archive) {
  RealClock clock;
  {  // our sender to rx
    PacedLine line(speed);
    const pid_t rx = Spawn({"rx", "-c", "-X", "out.zip"}, line.far(), dir / "rx");
    FdTransferLine ours(line.near(), line.near(), clock);
    const auto t = Steady::now();
    const double cpu = ThreadCpuSeconds();
    const bool ok = TransferSucceeded(SendFile(ours, archive).result);
    const double seconds = Since(t);
    Report(speed, "marvolen -> rx -c", archive.size(), seconds, ThreadCpuSeconds() - cpu,
           Reap(rx) && ok);
  }
  {  // sx to our receiver
    PacedLine line(speed);
    const pid_t sx = Spawn({"sx", "-k", "-X", "orig.zip"}, line.far(), dir);
    FdTransferLine ours(line.near(), line.near(), clock);
    ReceiveSetup setup;
    setup.dir = dir / "ours";
    setup.archive = ZipArchiveHooks({});
    const auto t = Steady::now();
    const double cpu = ThreadCpuSeconds();
    const ReceivedFile got = ReceiveFile(ours, setup);
    const double seconds = Since(t);
    Report(speed, "sx -k -> marvolen", archive.size(), seconds, ThreadCpuSeconds() - cpu,
           Reap(sx) && TransferSucceeded(got.result) && got.content == archive);
  }
  {  // sx to rx
    PacedLine line(speed);
    const auto t = Steady::now();
    const pid_t rx = Spawn({"rx", "-c", "-X", "out.zip"}, line.far(), dir / "rx");
    const pid_t sx = Spawn({"sx", "-k", "-X", "orig.zip"}, line.near(), dir);
    const bool ok = Reap(sx) && Reap(rx);
    Report(speed, "sx -k -> rx -c", archive.size(), Since(t), -1, ok);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::size_t kib = argc > 1 ? std::stoul(argv[1]) : 200;
  std::vector<long> speeds;
  for (int i = 2; i < argc; ++i) speeds.push_back(std::stol(argv[i]));
  if (speeds.empty()) speeds = {9600, 38400};

  char tmpl[] = "/tmp/marvolen-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const fs::path dir = tmpl;
  fs::create_directories(dir / "rx");
  fs::create_directories(dir / "ours");
  // Noise does not compress, so the archive is as large as the data.
  std::mt19937 gen(1);
  std::string data(kib * 1024, '\0');
  for (char& c : data) c = static_cast<char>(gen());
  std::ofstream(dir / "datos.bin", std::ios::binary)
      .write(data.data(), static_cast<std::streamsize>(data.size()));
  if (std::system(("cd '" + dir.string() + "' && zip -q -X orig.zip datos.bin").c_str()) != 0)
    return 1;
  std::ifstream in(dir / "orig.zip", std::ios::binary);
  const std::string archive{std::istreambuf_iterator<char>(in), {}};

  std::printf(
      " speed  run                       bytes   seconds   byte/s  of limit  cpu s  result\n");
  for (long speed : speeds) RunSpeed(speed, dir, archive);
  fs::remove_all(dir);
  return 0;
}
