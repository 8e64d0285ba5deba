// The death monitor on the fake clock: the window of deaths, the action that
// the threshold triggers, and the bad-application check that acts on it.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "fake.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

class DeathMonitor : public ::testing::Test {
 protected:
  void SetUp() override { rebootFilePath = path_.c_str(); }
  void TearDown() override {
    rebootFilePath = kKepDefaultRebootFilePath;
    Clean(KEP_DEATH_ACTION_NOT_SET);
  }
  // An empty list, the monitor set to `global`, no stop reason and no reset run.
  static void Clean(uint32_t global) {
    ResetModel();
    stopReason = KEP_STOP_REASON_INVALID;
    resetAppName.clear();
    resetAppCount = rebootAppCount = 0;
    KepMutableSettings().deathMonitorAction = global;
  }

  static KepApp &Add(const std::string &name, uint32_t deathAction = KEP_DEATH_ACTION_RESTART) {
    KepApp app;
    app.name = name;
    app.deathAction = deathAction;
    app.state = KEP_APP_STATE_REAPED;
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  // One death at uptime `second`, as the state handler reports it; 1 when the
  // check has set a stop reason.
  static int DieAt(time_t second) {
    kep::fake::SetNow(second);
    return KepCheckForBadApp(&KepGetAppList(), "handler", 9);
  }

  TempDir dir_;
  std::string path_ = dir_.File("rebootApplicationData");
  LogCapture log_;
};

TEST_F(DeathMonitor, OnlyDeathsWithinThePeriodReachTheThreshold) {
  struct Case {
    time_t third;
    int stopped;
    std::list<uint32_t> window;
  };
  // 700: the first death is exactly one period old and still counts.
  for (const Case &c :
       {Case{650, 1, {100, 300, 650}}, Case{700, 1, {100, 300, 700}}, Case{701, 0, {300, 701}}}) {
    SCOPED_TRACE(c.third);
    Clean(KEP_DEATH_ACTION_REBOOT);
    KepApp &app = Add("flaky");
    EXPECT_EQ(DieAt(100), 0);
    EXPECT_EQ(DieAt(300), 0);
    EXPECT_EQ(DieAt(c.third), c.stopped);
    EXPECT_EQ(app.deathTimeList, c.window);
    EXPECT_EQ(stopReason, c.stopped ? KEP_STOP_REASON_REBOOT : KEP_STOP_REASON_INVALID);
  }
  EXPECT_TRUE(log_.Contains("KepCheckForBadApp(): stopping, app: flaky, reason: reboot."));
}

// Four deaths in a row: the stop they lead to, if any, and how many were counted.
TEST_F(DeathMonitor, TheActionComesFromTheApplicationOrTheGlobalSettingAndSnmpdNeverStops) {
  constexpr uint32_t kNotSet = KEP_DEATH_ACTION_NOT_SET, kReboot = KEP_DEATH_ACTION_REBOOT;
  struct Case {
    uint32_t global;
    uint32_t own;
    const char *name;
    uint32_t reason;  // Invalid: restarted every time
    size_t counted;
  };
  const Case cases[] = {
      {KEP_DEATH_ACTION_HALT, KEP_DEATH_ACTION_RESET, "flaky", KEP_STOP_REASON_RESET, 3},
      {kReboot, KEP_DEATH_ACTION_RESTART, "flaky", KEP_STOP_REASON_INVALID, 4},
      {kReboot, kNotSet, "snmpd", KEP_STOP_REASON_INVALID, 4},
      {kReboot, kNotSet, "/usr/sbin/snmpd", KEP_STOP_REASON_REBOOT, 3},
      // The monitor is off: nothing is counted, whatever the application says.
      {kNotSet, kReboot, "flaky", KEP_STOP_REASON_INVALID, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Clean(c.global);
    KepApp &app = Add(c.name);
    app.deathMonitorAction = c.own;
    for (time_t t = 10; t < 14; ++t) {
      if (DieAt(t) != 0) break;
    }
    EXPECT_EQ(stopReason, c.reason);
    EXPECT_EQ(app.deathTimeList.size(), c.counted);
  }
  EXPECT_EQ(log_.Count("KepDeathMonAppDeath(): app: snmpd caused deathMon action: none."), 2u);
}

TEST_F(DeathMonitor, OnlyEnabledReapedRestartApplicationsAreCountedAndTheFirstToStopEndsTheWalk) {
  Clean(KEP_DEATH_ACTION_HALT);
  for (uint32_t action : {KEP_DEATH_ACTION_NONE, KEP_DEATH_ACTION_RESET, KEP_DEATH_ACTION_REBOOT,
                          KEP_DEATH_ACTION_HALT, KEP_DEATH_ACTION_NOT_SET}) {
    Add(KepDeathActionName(action), action);
  }
  Add("disabled").disabled = 1;
  Add("running").state = KEP_APP_STATE_RUNNING;
  Add("killed").state = KEP_APP_STATE_KILLED;
  KepApp &first = Add("first");
  KepApp &second = Add("second");
  first.deathTimeList = second.deathTimeList = {998, 999};
  EXPECT_EQ(DieAt(1000), 1);
  EXPECT_EQ(first.deathTimeList.size(), 3u);
  EXPECT_EQ(second.deathTimeList.size(), 2u);
  EXPECT_EQ(log_.Count("new death time"), 1u) << log_.Dump();
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
}

}  // namespace
