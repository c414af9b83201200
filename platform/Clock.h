// The one source of time for the station: every wait, time-out and time stamp goes through
// a Clock, so that the real program sleeps instead of spinning and tests run time-outs of
// tens of seconds in milliseconds on a virtual clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <span>

namespace marvolen {

using Millis = std::chrono::milliseconds;
using MonoTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time for measuring waits.
  virtual MonoTime Now() const = 0;
  // Date and time of day, for time stamps, file names and the office's clock.
  virtual WallTime WallNow() const = 0;
  // Sleeps for `d` (BusyWait and Sleep both come here).
  virtual void Sleep(Millis d) = 0;
  // Waits until `fd` is readable or `d` has passed; true when readable. The virtual clock
  // cannot watch descriptors: it advances by `d` and reports false.
  virtual bool WaitReadable(int fd, Millis d) = 0;
  // Waits until one of `fds` (-1 entries are left out) is readable or `d` has passed; the
  // index of the first readable one, or -1. The virtual clock advances by `d` and reports -1.
  virtual int WaitAnyReadable(std::span<const int> fds, Millis d) = 0;
};

// When a loop that sleeps between its looks at a line must look again: at `due` at the
// latest, sooner when `fd` turns readable (-1: no descriptor). A loop that ticks on such a
// wake-up sleeps as long as nothing happens, instead of waking every few milliseconds to ask.
struct WakeUp {
  MonoTime due = MonoTime::max();
  int fd = -1;

  void NoLaterThan(MonoTime t) {
    if (t < due) due = t;
  }
};

// Milliseconds from `now` until `due`, rounded up (a wait never ends short of its deadline),
// at least 0 and at most `longest`.
Millis WaitFor(MonoTime now, MonoTime due, Millis longest);

// Milliseconds elapsed between two readings of Now().
inline long long ElapsedMs(MonoTime from, MonoTime to) {
  return std::chrono::duration_cast<Millis>(to - from).count();
}

class RealClock final : public Clock {
 public:
  MonoTime Now() const override;
  WallTime WallNow() const override;
  void Sleep(Millis d) override;
  bool WaitReadable(int fd, Millis d) override;
  int WaitAnyReadable(std::span<const int> fds, Millis d) override;
};

// Time advances only when someone sleeps or waits. Events scheduled with At() run, in time
// order, when the clock passes their due time; tests use them to play the far end of a line.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(WallTime start_wall = DefaultStart());

  MonoTime Now() const override { return mono_; }
  WallTime WallNow() const override { return wall_; }
  void Sleep(Millis d) override { Advance(d); }
  bool WaitReadable(int fd, Millis d) override;
  int WaitAnyReadable(std::span<const int> fds, Millis d) override;

  // Runs `action` when the clock reaches Now() + `delay`.
  void At(Millis delay, std::function<void()> action);
  // Moves time forward by `d`, running due events on the way.
  void Advance(Millis d);
  // Milliseconds since the clock was made.
  long long ElapsedSinceStart() const { return ElapsedMs(start_, mono_); }

  // 7 December 2026, 10:00:00 UTC: a fixed day so that time stamps are reproducible.
  static WallTime DefaultStart();

 private:
  MonoTime start_;
  MonoTime mono_;
  WallTime wall_;
  std::multimap<MonoTime, std::function<void()>> events_;
};

}  // namespace marvolen
