#include "platform/Clock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "platform/LocalTime.h"

namespace marvolen {
namespace {

TEST(VirtualClock, EventsRunInTimeOrderAndSeeTheirOwnTime) {
  VirtualClock clock;
  std::vector<long long> seen;
  clock.At(Millis(300), [&] { seen.push_back(clock.ElapsedSinceStart()); });
  clock.At(Millis(100), [&] {
    seen.push_back(clock.ElapsedSinceStart());
    // An event may schedule another one inside the same advance.
    clock.At(Millis(50), [&] { seen.push_back(clock.ElapsedSinceStart()); });
  });
  clock.Sleep(Millis(1000));
  EXPECT_EQ(seen, (std::vector<long long>{100, 150, 300}));
  EXPECT_EQ(clock.ElapsedSinceStart(), 1000);
}

TEST(VirtualClock, EventsLaterThanTheSleepWaitForTheNextOne) {
  VirtualClock clock;
  int runs = 0;
  clock.At(Millis(500), [&] { ++runs; });
  clock.Sleep(Millis(499));
  EXPECT_EQ(runs, 0);
  clock.Sleep(Millis(1));
  EXPECT_EQ(runs, 1);
}

TEST(VirtualClock, WallTimeAdvancesWithTheMonotonicTime) {
  VirtualClock clock;
  const WallTime start = clock.WallNow();
  clock.WaitReadable(0, Millis(61'000));
  EXPECT_EQ(std::chrono::duration_cast<Millis>(clock.WallNow() - start).count(), 61'000);
}

TEST(RealClock, WaitReadableReturnsAsSoonAsDataArrives) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  RealClock clock;
  EXPECT_FALSE(clock.WaitReadable(fds[0], Millis(20)));
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  const MonoTime before = clock.Now();
  EXPECT_TRUE(clock.WaitReadable(fds[0], Millis(10'000)));
  // Generous bound: the point is that it did not sit out the ten seconds.
  EXPECT_LT(ElapsedMs(before, clock.Now()), 5'000);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(RealClock, WaitReadableNeverEndsBeforeItsTime) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  RealClock clock;
  // A wait cut short by a fraction of a millisecond leaves its caller polling with no
  // time-out until the deadline passes: a spin.
  for (int i = 0; i < 20; ++i) {
    const MonoTime deadline = clock.Now() + Millis(3);
    EXPECT_FALSE(clock.WaitReadable(fds[0], Millis(3)));
    EXPECT_GE(clock.Now(), deadline);
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(LocalTime, FixedFormatsPadEveryField) {
  LocalDateTime t;
  t.year = 2027;
  t.month = 1;
  t.day = 5;
  t.hour = 3;
  t.minute = 4;
  t.second = 9;
  EXPECT_EQ(FormatDdMmYyyy(t), "05012027");
  EXPECT_EQ(FormatDdMmYyyyHhMmSs(t), "05012027030409");
}

}  // namespace
}  // namespace marvolen
