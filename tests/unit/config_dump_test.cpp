#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kep_config.h"
#include "kep_test.h"

namespace {

class ConfigDump : public ::testing::Test {
 protected:
  void SetUp() override { ResetModel(); }
  void TearDown() override { ResetModel(); }

  // Every dump line is info, not notable, from the configuration unit.
  void ExpectInfoLines() {
    for (const LogLine &line : log_.Lines()) {
      EXPECT_EQ(line.level, 3) << line.text;
      EXPECT_EQ(line.notice, 0) << line.text;
      EXPECT_EQ(line.file, "KepConfig") << line.text;
    }
  }

  KepApp &AddApp(const std::string &name) {
    KepApp app;
    app.name = name;
    app.state = KEP_APP_STATE_CONFIGURED;
    app.index = static_cast<uint32_t>(KepGetAppList().size());
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  LogCapture log_;
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(ConfigDump, DefaultSettingsInTheirLayout) {
  EXPECT_EQ(KepLogSettings(), 0);
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
                          }));
  ExpectInfoLines();
}

TEST_F(ConfigDump, ChangedSettingsShowTheirValues) {
  KepSettings &settings = KepMutableSettings();
  settings.disableReboot = 1;
  settings.deathMonitorAction = KEP_DEATH_ACTION_HALT;
  settings.deathMonitorMaxDeath = 100;
  KepLogSettings();
  EXPECT_EQ(log_.Texts()[7], "   disableReboot:  true");
  EXPECT_EQ(log_.Texts()[9], "   deathMonAction: halt");
  EXPECT_EQ(log_.Texts()[11], "   deathMonCount:  100");
}

TEST_F(ConfigDump, GlobalEnvironmentIsNumberedFromOne) {
  EXPECT_EQ(KepLogGlobalEnv(), 0);
  EXPECT_EQ(log_.Texts(), Lines{"Global environment list (size = 0):"});
  log_.Clear();
  KepGetGlobalEnvList() = {"A=1", "B=two words"};
  KepLogGlobalEnv();
  EXPECT_EQ(log_.Texts(),
            (Lines{"Global environment list (size = 2):", "   1: [A=1]", "   2: [B=two words]"}));
  ExpectInfoLines();
}

TEST_F(ConfigDump, AnEmptyApplicationListIsOneLine) {
  EXPECT_EQ(KepLogAppData(1, 1), 0);
  EXPECT_EQ(log_.Texts(), Lines{"Log application data (size = 0):"});
}

TEST_F(ConfigDump, WithoutFieldsEachApplicationIsFourLines) {
  AddApp("/bin/a").pid = 1234;
  AddApp("b").disabled = 1;
  EXPECT_EQ(KepLogAppData(0, 0), 0);
  EXPECT_EQ(log_.Texts(), (Lines{
                              "Log application data (size = 2):",
                              "   1: /bin/a",
                              "      state: Configured (2)",
                              "      disabled: false",
                              "      pid: 1234",
                              "   2: b",
                              "      state: Configured (2)",
                              "      disabled: true",
                              "      pid: 0",
                          }));
  ExpectInfoLines();
}

TEST_F(ConfigDump, RunTimeFieldsFollowThePid) {
  KepApp &app = AddApp("a");
  app.state = KEP_APP_STATE_REAPED;
  app.signalNum = 9;
  app.exitStatus = -1;
  app.startCount = 3;
  app.sigtermTime = {1015, 34};
  app.sigtermCount = 2;
  app.sigkillSent = 1;
  app.sigkillTime = {1031, 999999};
  app.execTime = {1000, 500000};
  KepLogAppData(0, 1);
  EXPECT_EQ(log_.Texts(), (Lines{
                              "Log application data (size = 1):",
                              "   1: a",
                              "      state: Reaped (9)",
                              "      disabled: false",
                              "      pid: 0",
                              "      signalNum: 9",
                              "      exitStatus: 4294967295",
                              "      startCount: 3",
                              "      sigtermTime: 1015.000034",
                              "      sigtermCount: 2",
                              "      sigkillSent: true",
                              "      sigkillTime: 1031.999999",
                              "      execTime: 1000.500000",
                          }));
}

TEST_F(ConfigDump, ConfigurationFieldsComeLast) {
  KepApp &app = AddApp("/usr/bin/app");
  app.deathAction = KEP_DEATH_ACTION_RESTART;
  app.startLevel = 7;
  app.wdFile = "/x/app-wd";
  app.argList = {"-a", "1"};
  app.envList = {"HOME=/root"};
  AddApp("plain");
  KepLogAppData(1, 0);
  EXPECT_EQ(log_.Texts(), (Lines{
                              "Log application data (size = 2):",
                              "   1: /usr/bin/app",
                              "      state: Configured (2)",
                              "      disabled: false",
                              "      pid: 0",
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
                              "   2: plain",
                              "      state: Configured (2)",
                              "      disabled: false",
                              "      pid: 0",
                              "      deathAction: invalid (0)",
                              "      deathMonitorAction: not_set (1)",
                              "      doNotDeathMonitor: false",
                              "      startLevel: 0",
                              "      index: 1",
                              "      startFile: NULL",
                              "      initFile: NULL",
                              "      stopFile: NULL",
                              "      wdFile: NULL",
                              "      argList (size = 0):",
                              "      envList (size = 0):",
                          }));
  ExpectInfoLines();
}

TEST_F(ConfigDump, BothFieldGroupsAppearRunTimeFirst) {
  AddApp("a").state = 42;
  KepLogAppData(1, 1);
  const Lines texts = log_.Texts();
  ASSERT_EQ(texts.size(), 1u + 4u + 8u + 11u);
  EXPECT_EQ(texts[2], "      state: unknown (42)");
  EXPECT_EQ(texts[5], "      signalNum: 0");
  EXPECT_EQ(texts[13], "      deathAction: invalid (0)");
}
