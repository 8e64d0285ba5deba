// The watchdog check against fake watchdog readings.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "fake.h"
#include "kep_main.h"
#include "kep_test.h"

using kep::fake::SentSignal;
using kep::fake::World;

namespace {

class Watchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    kep::fake::Reset();
  }
  void TearDown() override { ResetModel(); }

  // An application in `state` whose watchdog was fed `ageUs` microseconds ago
  // and reads with `status`.
  KepApp &Add(const std::string &name, long long ageUs, int status = 0,
              uint32_t state = KEP_APP_STATE_RUNNING) {
    KepApp app;
    app.name = name;
    app.state = state;
    app.pid = 2000 + static_cast<pid_t>(KepGetAppList().size());
    app.wdFile = "/wd/" + name;
    struct timeval age = {static_cast<time_t>(ageUs / 1000000),
                          static_cast<suseconds_t>(ageUs % 1000000)};
    World().watchdogs[*app.wdFile] = {status, age, {5, 0}, {66, 0}, 7};
    World().live.push_back(app.pid);
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  LogCapture log_;
};

// A process that has not fed its file yet (none there, or one left by an
// earlier process) is timed from its start, without a message until then.
TEST_F(Watchdog, OnlyWholeSecondsBeyondTheTimeoutOfEnabledRunningWatchedApplicationsCount) {
  KepApp &slow = Add("slow", 60900000);
  KepApp &late = Add("late", 61000000);
  KepApp &ahead = Add("ahead", -5000000);
  KepApp &restarted = Add("restarted", 0, 4);
  restarted.execTime = {939, 100000};
  KepApp &unfed = Add("unfed", 0);
  World().watchdogs.erase(*unfed.wdFile);
  unfed.execTime = {939, 0};
  // Never examined (their files would fail to read).
  Add("disabled", 99000000, 2).disabled = 1;
  Add("initializing", 99000000, 2, KEP_APP_STATE_INITIALIZING);
  Add("killed", 99000000, 2, KEP_APP_STATE_KILLED);
  Add("unwatched", 99000000, 2).wdFile.reset();
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  // A time-out of 0 turns the check off.
  KepMutableSettings().wdTimeout = 0;
  Add("off", 99000000, 2);
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_EQ(std::vector<uint32_t>({slow.state, late.state, ahead.state, restarted.state}),
            std::vector<uint32_t>({KEP_APP_STATE_RUNNING, KEP_APP_STATE_KILLED,
                                   KEP_APP_STATE_RUNNING, KEP_APP_STATE_RUNNING}));
  EXPECT_EQ(World().signals, (std::vector<SentSignal>{{late.pid, SIGTERM}, {unfed.pid, SIGTERM}}));
  EXPECT_EQ(log_.Count("KepWdCheck(): "), 2u) << log_.Dump();
  EXPECT_TRUE(log_.Contains("KepWdCheck(): watchdog timeout: late, pid: 2001 (60, 61, 5, 66, 7)."));
  EXPECT_TRUE(
      log_.Contains("KepWdCheck(): watchdog timeout: unfed, pid: 2004 (60, 61, 939, 1000, 0)."));
}

TEST_F(Watchdog, EveryFailureIsLoggedAndTheFirstCodeInListOrderReturned) {
  Add("first", 0, 2);
  Add("second", 0, 3);
  KepApp &late = Add("late", 61000000);
  World().killErrno = EPERM;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 2);
  EXPECT_TRUE(log_.Contains("KepWdCheck(): KepWatchdogFileTime(/wd/first) failed (2)."));
  EXPECT_TRUE(log_.Contains("KepWdCheck(): KepWatchdogFileTime(/wd/second) failed (3)."));
  EXPECT_TRUE(log_.Contains("KepWdCheck(): KepStopOneApp(late) failed (1003).")) << log_.Dump();
  EXPECT_EQ(late.state, KEP_APP_STATE_RUNNING);
  KepGetAppList().pop_front();
  KepGetAppList().pop_front();
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 1003);
}

}  // namespace
