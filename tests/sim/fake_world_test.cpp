#include <gtest/gtest.h>

#include "fake.h"
#include "kep_sys.h"
#include "ZelKepLib.h"

TEST(FakeWorld, SleepingMovesTheClock) {
  kep::fake::Reset();
  struct timeval before, after;
  KepGetUptime(&before);
  kep::sys::USleep(500000);
  KepGetUptime(&after);
  struct timeval diff;
  KepTvSub(&after, &before, &diff);
  EXPECT_EQ(diff.tv_sec, 0);
  EXPECT_EQ(diff.tv_usec, 500000);
}
