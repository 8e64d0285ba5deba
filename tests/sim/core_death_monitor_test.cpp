// The death monitor on the fake clock: the window of deaths, the action that
// the threshold triggers, and the bad-application check that acts on it.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "fake.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

class DeathMonitor : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    kep::fake::Reset();
    stopReason = KEP_STOP_REASON_INVALID;
    resetAppName.clear();
    resetAppCount = 0;
    rebootAppCount = 0;
    path_ = dir_.File("rebootApplicationData");
    rebootFilePath = path_.c_str();
  }
  void TearDown() override {
    rebootFilePath = kKepDefaultRebootFilePath;
    ResetModel();
  }

  KepApp &Add(const std::string &name, uint32_t deathAction = KEP_DEATH_ACTION_RESTART) {
    KepApp app;
    app.name = name;
    app.deathAction = deathAction;
    app.state = KEP_APP_STATE_REAPED;
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  // One death at uptime `second`, as the state handler reports it; the
  // handler would then put the record back to Start_Pending.
  int DieAt(time_t second) {
    kep::fake::SetNow(second);
    int stopped = KepCheckForBadApp(&KepGetAppList(), "handler", 9);
    return stopped;
  }

  TempDir dir_;
  std::string path_;
  LogCapture log_;
};

TEST_F(DeathMonitor, ThreeDeathsWithinThePeriodStopEverythingWithTheGlobalAction) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  KepApp &app = Add("flaky");
  EXPECT_EQ(DieAt(100), 0);
  EXPECT_EQ(DieAt(300), 0);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_INVALID);
  EXPECT_EQ(DieAt(650), 1);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_EQ(app.deathTimeList, (std::list<uint32_t>{100, 300, 650}));
  EXPECT_EQ(log_.Count("KepDeathMonAppDeath(): app: flaky new death time: "), 3u);
  EXPECT_TRUE(
      log_.Contains("KepDeathMonAppDeath(): app: flaky new death time: 650, deathMonCount: 3."));
  EXPECT_TRUE(log_.Contains("KepDeathMonAppDeath(): app: flaky caused deathMon action: reboot."));
  EXPECT_TRUE(log_.Contains("KepCheckForBadApp(): stopping, app: flaky, reason: reboot."));
  EXPECT_TRUE(log_.Contains("set stop reason to 3 [Reboot], app: flaky, (handler(), 9)."));
}

TEST_F(DeathMonitor, ADeathOlderThanThePeriodLeavesTheWindow) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  KepApp &app = Add("flaky");
  EXPECT_EQ(DieAt(100), 0);
  EXPECT_EQ(DieAt(300), 0);
  EXPECT_EQ(DieAt(701), 0);
  EXPECT_EQ(app.deathTimeList, (std::list<uint32_t>{300, 701}));
  EXPECT_TRUE(log_.Contains("new death time: 701, deathMonCount: 2."));
  EXPECT_EQ(stopReason, KEP_STOP_REASON_INVALID);
}

TEST_F(DeathMonitor, PruningKeepsAnEntryExactlyOnePeriodOldAndDropsFutureOnes) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_HALT;
  KepMutableSettings().deathMonitorMaxDeath = 10;
  KepApp &app = Add("flaky");
  app.deathTimeList = {400, 999, 1001, 4294967000u};
  kep::fake::SetNow(1000, 999999);
  EXPECT_EQ(KepDeathMonAppDeath(&app), KEP_DEATH_ACTION_NONE);
  EXPECT_EQ(app.deathTimeList, (std::list<uint32_t>{400, 999, 1000}));
}

TEST_F(DeathMonitor, TheApplicationsOwnActionWinsOverTheGlobalOne) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_HALT;
  KepApp &app = Add("flaky");
  app.deathMonitorAction = KEP_DEATH_ACTION_RESET;
  DieAt(10);
  DieAt(11);
  EXPECT_EQ(DieAt(12), 1);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_RESET);
  EXPECT_TRUE(log_.Contains("KepCheckForBadApp(): stopping, app: flaky, reason: reset."));
}

TEST_F(DeathMonitor, OnlyTheNameSnmpdIsRestartedWhateverTheThreshold) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  KepApp &snmpd = Add("snmpd");
  for (time_t t = 10; t < 15; ++t) EXPECT_EQ(DieAt(t), 0);
  EXPECT_EQ(snmpd.deathTimeList.size(), 5u);
  // Every death past the threshold names the action again.
  EXPECT_EQ(log_.Count("KepDeathMonAppDeath(): app: snmpd caused deathMon action: none."), 3u);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_INVALID);

  snmpd.state = KEP_APP_STATE_START_PENDING;
  Add("/usr/sbin/snmpd");
  DieAt(20);
  DieAt(21);
  EXPECT_EQ(DieAt(22), 1);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
}

TEST_F(DeathMonitor, ActionsThatStopNothingKeepTheApplicationRestarting) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  KepApp &app = Add("flaky");
  app.deathMonitorAction = KEP_DEATH_ACTION_RESTART;
  for (time_t t = 10; t < 14; ++t) EXPECT_EQ(DieAt(t), 0);
  EXPECT_EQ(log_.Count("caused deathMon action: restart."), 2u);
}

TEST_F(DeathMonitor, NothingIsCountedWhileTheGlobalActionIsNotSet) {
  KepApp &app = Add("flaky");
  app.deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  for (time_t t = 10; t < 14; ++t) EXPECT_EQ(DieAt(t), 0);
  EXPECT_EQ(KepDeathMonAppDeath(&app), KEP_DEATH_ACTION_NONE);
  EXPECT_TRUE(app.deathTimeList.empty());
  EXPECT_EQ(log_.Count("new death time"), 0u);
}

TEST_F(DeathMonitor, OnlyEnabledReapedRestartApplicationsAreCounted) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_HALT;
  KepMutableSettings().deathMonitorMaxDeath = 1;
  for (uint32_t action : {KEP_DEATH_ACTION_NONE, KEP_DEATH_ACTION_RESET, KEP_DEATH_ACTION_REBOOT,
                          KEP_DEATH_ACTION_HALT, KEP_DEATH_ACTION_NOT_SET}) {
    Add(KepDeathActionName(action), action);
  }
  Add("disabled").disabled = 1;
  Add("running").state = KEP_APP_STATE_RUNNING;
  Add("killed").state = KEP_APP_STATE_KILLED;
  EXPECT_EQ(DieAt(10), 0);
  for (KepApp &app : KepGetAppList()) {
    EXPECT_TRUE(app.deathTimeList.empty()) << app.name;
    // The disabled flag is the check's business; the count itself ignores it.
    if (app.disabled != 0) continue;
    EXPECT_EQ(KepDeathMonAppDeath(&app), KEP_DEATH_ACTION_NONE) << app.name;
  }
  EXPECT_EQ(KepDeathMonAppDeath(nullptr), KEP_DEATH_ACTION_NONE);
  EXPECT_EQ(log_.Count("new death time"), 0u);
}

TEST_F(DeathMonitor, TheFirstApplicationToReachTheThresholdStopsAndTheNextIsNotCounted) {
  KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_HALT;
  KepApp &first = Add("first");
  KepApp &second = Add("second");
  first.deathTimeList = {998, 999};
  second.deathTimeList = {998, 999};
  EXPECT_EQ(DieAt(1000), 1);
  EXPECT_EQ(first.deathTimeList.size(), 3u);
  EXPECT_EQ(second.deathTimeList.size(), 2u);
  EXPECT_TRUE(log_.Contains("stopping, app: first, reason: halt."));
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
}

}  // namespace
