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

  // A Running application fed `ageUs` microseconds ago.
  KepApp &Add(const std::string &name, long long ageUs, uint32_t state = KEP_APP_STATE_RUNNING) {
    KepApp app;
    app.name = name;
    app.state = state;
    app.pid = 2000 + static_cast<pid_t>(KepGetAppList().size());
    app.wdFile = "/wd/" + name;
    kep::fake::WatchdogReading reading;
    reading.age = {static_cast<time_t>(ageUs / 1000000), static_cast<suseconds_t>(ageUs % 1000000)};
    reading.fedAt = {5, 0};
    reading.now = {66, 0};
    reading.count = 7;
    World().watchdogs[*app.wdFile] = reading;
    World().live.push_back(app.pid);
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  LogCapture log_;
};

TEST_F(Watchdog, OnlyWholeSecondsBeyondTheTimeoutCount) {
  KepApp &slow = Add("slow", 60900000);
  KepApp &late = Add("late", 61000000);
  KepApp &ahead = Add("ahead", -5000000);
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_EQ(slow.state, KEP_APP_STATE_RUNNING);
  EXPECT_EQ(ahead.state, KEP_APP_STATE_RUNNING);
  EXPECT_EQ(late.state, KEP_APP_STATE_KILLED);
  EXPECT_EQ(late.sigtermCount, 1u);
  EXPECT_EQ(World().signals, (std::vector<SentSignal>{{late.pid, SIGTERM}}));
  EXPECT_TRUE(log_.Contains("KepWdCheck(): watchdog timeout: late, pid: 2001 (60, 61, 5, 66, 7)."))
      << log_.Dump();
}

TEST_F(Watchdog, ATimedOutApplicationIsSignalledOnceByTheCheck) {
  Add("late", 61000000);
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_EQ(World().signals.size(), 1u);
  EXPECT_EQ(log_.Count("watchdog timeout"), 1u);
}

TEST_F(Watchdog, OnlyEnabledRunningApplicationsWithAWatchdogFileAreExamined) {
  Add("disabled", 99000000).disabled = 1;
  Add("initializing", 99000000, KEP_APP_STATE_INITIALIZING);
  Add("killed", 99000000, KEP_APP_STATE_KILLED);
  Add("reaped", 99000000, KEP_APP_STATE_REAPED);
  Add("unwatched", 99000000).wdFile.reset();
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_TRUE(World().signals.empty());
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
}

TEST_F(Watchdog, ATimeoutOfZeroTurnsTheCheckOff) {
  KepMutableSettings().wdTimeout = 0;
  Add("late", 99000000);
  World().watchdogs["/wd/late"].status = 2;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
  EXPECT_TRUE(World().signals.empty());
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
  KepGetAppList().clear();
  KepMutableSettings().wdTimeout = 60;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 0);
}

TEST_F(Watchdog, EveryFailureIsLoggedAndTheFirstCodeReturned) {
  Add("first", 0);
  Add("second", 0);
  World().watchdogs["/wd/first"].status = 2;
  World().watchdogs["/wd/second"].status = 3;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 2);
  EXPECT_EQ(log_.Texts(), (std::vector<std::string>{
                              "KepWdCheck(): KepWatchdogFileTime(/wd/first) failed (2).",
                              "KepWdCheck(): KepWatchdogFileTime(/wd/second) failed (3).",
                          }));
  EXPECT_TRUE(World().signals.empty());
}

TEST_F(Watchdog, AFailedSigtermIsLoggedAndRankedInListOrder) {
  Add("unreadable", 0);
  World().watchdogs["/wd/unreadable"].status = 4;
  KepApp &late = Add("late", 61000000);
  World().killErrno = EPERM;
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 4);
  EXPECT_TRUE(log_.Contains("KepWdCheck(): KepStopOneApp(late) failed (1003).")) << log_.Dump();
  EXPECT_EQ(late.state, KEP_APP_STATE_RUNNING);

  KepGetAppList().pop_front();
  log_.Clear();
  EXPECT_EQ(KepWdCheck(&KepGetAppList()), 1003);
}

}  // namespace
