#include "platform/Clock.h"

#include <poll.h>

#include <cerrno>
#include <thread>

#include "platform/SystemCalls.h"

namespace marvolen {

MonoTime RealClock::Now() const {
  return std::chrono::steady_clock::now();
}

WallTime RealClock::WallNow() const {
  return std::chrono::system_clock::now();
}

void RealClock::Sleep(Millis d) {
  if (d.count() > 0) std::this_thread::sleep_for(d);
}

bool RealClock::WaitReadable(int fd, Millis d) {
  const int one[] = {fd};
  return WaitAnyReadable(one, d) == 0;
}

int RealClock::WaitAnyReadable(std::span<const int> fds, Millis d) {
  constexpr std::size_t kMost = 4;
  pollfd p[kMost];
  std::size_t count = 0;
  int index[kMost];
  for (std::size_t i = 0; i < fds.size() && count < kMost; ++i) {
    if (fds[i] < 0) continue;
    p[count] = pollfd{fds[i], POLLIN, 0};
    index[count++] = static_cast<int>(i);
  }
  const MonoTime deadline = Now() + d;
  // An interrupted wait goes on for what is left of it.
  const int ready = RetryOnEintr([&] {
    // Rounded up: a wait cut to whole milliseconds downwards would end short of the deadline
    // and leave the caller polling with no time-out until it passes.
    const long long left = std::chrono::ceil<Millis>(deadline - Now()).count();
    return ::poll(p, count, left > 0 ? static_cast<int>(left) : 0);
  });
  if (ready <= 0) return -1;
  for (std::size_t i = 0; i < count; ++i) {
    // A descriptor that failed (closed under the wait, hung up) counts as readable: its
    // owner looks at it and finds out.
    if (p[i].revents != 0) return index[i];
  }
  return -1;
}

Millis WaitFor(MonoTime now, MonoTime due, Millis longest) {
  if (due <= now) return Millis(0);
  if (due - now >= longest) return longest;
  return std::chrono::ceil<Millis>(due - now);
}

VirtualClock::VirtualClock(WallTime start_wall)
    : start_(MonoTime{} + std::chrono::hours(1)), mono_(start_), wall_(start_wall) {}

WallTime VirtualClock::DefaultStart() {
  // 2026-12-07 10:00:00 UTC as seconds since the epoch.
  return WallTime{} + std::chrono::seconds(1796637600);
}

bool VirtualClock::WaitReadable(int, Millis d) {
  Advance(d);
  return false;
}

int VirtualClock::WaitAnyReadable(std::span<const int>, Millis d) {
  Advance(d);
  return -1;
}

void VirtualClock::At(Millis delay, std::function<void()> action) {
  events_.emplace(mono_ + (delay.count() > 0 ? delay : Millis(0)), std::move(action));
}

void VirtualClock::Advance(Millis d) {
  const MonoTime target = mono_ + (d.count() > 0 ? d : Millis(0));
  // Events may schedule further events; take them one at a time.
  while (!events_.empty() && events_.begin()->first <= target) {
    auto node = events_.extract(events_.begin());
    wall_ += node.key() - mono_;
    mono_ = node.key();
    node.mapped()();
  }
  wall_ += target - mono_;
  mono_ = target;
}

}  // namespace marvolen
