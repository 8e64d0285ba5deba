#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kep_config.h"
#include "kep_test.h"

namespace {

using Lines = std::vector<std::string>;

class ConfigDump : public ::testing::Test {
 protected:
  void SetUp() override { ResetModel(); }
  void TearDown() override {
    // Every dump line is info, not notable, from the configuration unit.
    for (const LogLine &line : log_.Lines()) {
      EXPECT_TRUE(line.level == 3 && line.notice == 0 && line.file == "KepConfig") << line.text;
    }
    ResetModel();
  }

  LogCapture log_;
};

}  // namespace

TEST_F(ConfigDump, DefaultSettingsAndTheGlobalEnvironment) {
  EXPECT_EQ(KepLogSettings(), 0);
  EXPECT_EQ(KepLogGlobalEnv(), 0);
  KepGetGlobalEnvList() = {"A=1", "B=two words"};
  KepLogGlobalEnv();
  EXPECT_EQ(log_.Texts(), (Lines{
                              "Configuration Settings:",
                              "   killDelay:      15",
                              "   killRetries:    2",
                              "   wdTimeout:      60",
                              "   startSyncTime:  5",
                              "   initSyncTime:   15",
                              "   stopSyncTime:   20",
                              "   disableReboot:  false",
                              "   disableReset:   false",
                              "   deathMonAction: not_set",
                              "   deathMonPeriod: 600",
                              "   deathMonCount:  3",
                              "Global environment list (size = 0):",
                              "Global environment list (size = 2):",
                              "   1: [A=1]",
                              "   2: [B=two words]",
                          }));
}

// Without fields a record is four lines; run-time fields follow the pid and
// configuration fields come last.
TEST_F(ConfigDump, ApplicationDataWithAndWithoutFields) {
  EXPECT_EQ(KepLogAppData(0, 0), 0);
  KepApp &app = KepGetAppList().emplace_back();
  app.name = "/usr/bin/app";
  app.pid = 1234;
  app.state = KEP_APP_STATE_REAPED;
  app.signalNum = 9;
  app.exitStatus = -1;
  app.startCount = 3;
  app.sigtermTime = {1015, 34};
  app.sigtermCount = 2;
  app.sigkillSent = 1;
  app.sigkillTime = {1031, 999999};
  app.execTime = {1000, 500000};
  app.deathAction = KEP_DEATH_ACTION_RESTART;
  app.startLevel = 7;
  app.wdFile = "/x/app-wd";
  app.argList = {"-a", "1"};
  app.envList = {"HOME=/root"};
  KepLogAppData(0, 0);
  KepLogAppData(1, 1);
  const Lines full = {
      "Log application data (size = 1):",
      "   1: /usr/bin/app",
      "      state: Reaped (9)",
      "      disabled: false",
      "      pid: 1234",
      "      signalNum: 9",
      "      exitStatus: 4294967295",
      "      startCount: 3",
      "      sigtermTime: 1015.000034",
      "      sigtermCount: 2",
      "      sigkillSent: true",
      "      sigkillTime: 1031.999999",
      "      execTime: 1000.500000",
      "      deathAction: restart (3)",
      "      deathMonitorAction: not_set (1)",
      "      doNotDeathMonitor: false",
      "      startLevel: 7",
      "      index: 0",
      "      startFile: NULL",
      "      initFile: NULL",
      "      stopFile: NULL",
      "      wdFile: /x/app-wd",
      "      argList (size = 2):",
      "       1: [-a]",
      "       2: [1]",
      "      envList (size = 1):",
      "       1: [HOME=/root]",
  };
  Lines expected = {"Log application data (size = 0):"};
  expected.insert(expected.end(), full.begin(), full.begin() + 5);
  expected.insert(expected.end(), full.begin(), full.end());
  EXPECT_EQ(log_.Texts(), expected);
}
