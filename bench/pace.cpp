// A line of RATE bytes a second between standard input and standard output, paced as the
// station's modem emulator paces its line: every byte takes its time to cross, and bytes are
// handed on a batch at a time (BATCH bytes, the emulator's max(16, 10 ms worth)), or the last
// few at their own arrival when no more are on their way. The benchmarks put it between the
// peers (sx and rx) so that they pay the same pacing as the station does.
//
//   pace RATE BATCH
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct Byte {
  char value;
  Clock::time_point arrival;
};

bool WriteAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(1, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pace RATE BATCH\n");
    return 2;
  }
  const long rate = std::atol(argv[1]);
  const size_t batch = static_cast<size_t>(std::max(1L, std::atol(argv[2])));
  if (rate <= 0) return 2;
  const auto per_byte = std::chrono::nanoseconds(1'000'000'000LL / rate);
  std::deque<Byte> line;
  Clock::time_point last_arrival{};
  bool input_open = true;
  char buffer[4096];
  while (input_open || !line.empty()) {
    int timeout_ms = -1;
    if (!line.empty()) {
      const size_t count = std::min(batch, line.size());
      const auto due = line[count - 1].arrival;
      const auto now = Clock::now();
      if (due <= now) {
        std::string out;
        while (!line.empty() && line.front().arrival <= now) {
          out += line.front().value;
          line.pop_front();
        }
        if (!WriteAll(out.data(), out.size())) return 1;
        continue;
      }
      timeout_ms =
          static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
    }
    if (!input_open) {
      ::usleep(static_cast<useconds_t>(timeout_ms) * 1000);
      continue;
    }
    pollfd in{0, POLLIN, 0};
    const int ready = ::poll(&in, 1, timeout_ms);
    if (ready < 0 && errno != EINTR) return 1;
    if (ready <= 0) continue;
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      input_open = false;
      continue;
    }
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
      last_arrival = std::max(last_arrival, now) + per_byte;
      line.push_back({buffer[i], last_arrival});
    }
  }
  return 0;
}
