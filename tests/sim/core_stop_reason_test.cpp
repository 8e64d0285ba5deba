// The stop reason: the disable-reset policy, the run of resets and its
// escalation into a reboot, and the reboot-application file kept in step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

class StopReason : public ::testing::Test {
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

  void MonitorOn() { KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT; }
  void Set(uint32_t reason, const char *app) { KepSetStopReason(reason, app, "caller", 42); }

  TempDir dir_;
  std::string path_;
  LogCapture log_;
};

TEST_F(StopReason, TheThirdResetInARowByOneApplicationBecomesARecordedReboot) {
  MonitorOn();
  Set(KEP_STOP_REASON_RESET, "myapp");
  Set(KEP_STOP_REASON_RESET, "myapp");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_RESET);
  EXPECT_FALSE(FileExists(path_));
  log_.Clear();

  Set(KEP_STOP_REASON_RESET, "myapp");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_EQ(resetAppCount, 3u);
  EXPECT_EQ(rebootAppCount, 1u);
  EXPECT_EQ(ReadFile(path_), "myapp 1\n");
  EXPECT_EQ(log_.Texts(),
            (std::vector<std::string>{
                "KepSetStopReason(): myapp, myapp, 3.",
                "KepSetStopReason(): RESET -> REBOOT, app: myapp.",
                "KepSetStopReason(): set stop reason to 3 [Reboot], app: myapp, (caller(), 42).",
                "KepSetStopReason(): wrote reboot app (myapp, 1).",
            }));
  for (const LogLine &line : log_.Lines()) {
    EXPECT_EQ(line.level, 3);
    EXPECT_EQ(line.notice, 1);
    EXPECT_EQ(line.file, "KepMain");
  }
}

TEST_F(StopReason, TheRecordedCountIsOneMoreThanTheCountReadAtStartUp) {
  MonitorOn();
  rebootAppCount = 2;
  Set(KEP_STOP_REASON_RESET, "myapp");
  Set(KEP_STOP_REASON_RESET, "myapp");
  Set(KEP_STOP_REASON_RESET, "myapp");
  EXPECT_EQ(ReadFile(path_), "myapp 3\n");
  // A reset after the reboot goes on counting the same run.
  Set(KEP_STOP_REASON_RESET, "myapp");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_EQ(ReadFile(path_), "myapp 4\n");
}

TEST_F(StopReason, AResetByAnotherApplicationOrWithoutOneRestartsTheRun) {
  MonitorOn();
  struct Step {
    const char *app;
    const char *heldName;
    uint32_t heldCount;
    uint32_t reason;
    const char *message;
  };
  const Step steps[] = {
      {"a", "a", 1, KEP_STOP_REASON_RESET, "KepSetStopReason(): a, a, 1."},
      {"a", "a", 2, KEP_STOP_REASON_RESET, "KepSetStopReason(): a, a, 2."},
      {"b", "b", 1, KEP_STOP_REASON_RESET, "KepSetStopReason(): b, b, 1."},
      {"a", "a", 1, KEP_STOP_REASON_RESET, "KepSetStopReason(): a, a, 1."},
      {"a", "a", 2, KEP_STOP_REASON_RESET, "KepSetStopReason(): a, a, 2."},
      {nullptr, "", 0, KEP_STOP_REASON_RESET, "KepSetStopReason(): NULL, , 0."},
      {"a", "a", 1, KEP_STOP_REASON_RESET, "KepSetStopReason(): a, a, 1."},
      {"a", "a", 2, KEP_STOP_REASON_RESET, "KepSetStopReason(): a, a, 2."},
      {"a", "a", 3, KEP_STOP_REASON_REBOOT, "KepSetStopReason(): a, a, 3."},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.message);
    log_.Clear();
    Set(KEP_STOP_REASON_RESET, step.app);
    EXPECT_EQ(resetAppName, step.heldName);
    EXPECT_EQ(resetAppCount, step.heldCount);
    EXPECT_EQ(stopReason, step.reason);
    ASSERT_FALSE(log_.Lines().empty());
    EXPECT_EQ(log_.Lines()[0].text, step.message);
  }
  EXPECT_EQ(ReadFile(path_), "a 1\n");
}

TEST_F(StopReason, DisabledResetsHaltWithoutTrackingTheRunAndRemoveTheFile) {
  MonitorOn();
  KepMutableSettings().disableReset = 1;
  resetAppName = "a";
  resetAppCount = 2;
  dir_.Write("rebootApplicationData", "a 1\n");
  Set(KEP_STOP_REASON_RESET, "a");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_EQ(resetAppName, "a");
  EXPECT_EQ(resetAppCount, 2u);
  EXPECT_FALSE(FileExists(path_));
  EXPECT_EQ(log_.Texts(),
            (std::vector<std::string>{
                "KepSetStopReason(): reset disabled via configuration.",
                "KepSetStopReason(): set stop reason to 4 [Halt], app: a, (caller(), 42).",
            }));
}

TEST_F(StopReason, WithoutTheDeathMonitorResetsAreNeverEscalatedAndEveryStopRemovesTheFile) {
  for (int i = 0; i < 4; ++i) {
    dir_.Write("rebootApplicationData", "a 1\n");
    Set(KEP_STOP_REASON_RESET, "a");
    EXPECT_EQ(stopReason, KEP_STOP_REASON_RESET);
    EXPECT_FALSE(FileExists(path_));
  }
  EXPECT_EQ(resetAppCount, 0u);
  dir_.Write("rebootApplicationData", "a 1\n");
  Set(KEP_STOP_REASON_REBOOT, "a");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_FALSE(FileExists(path_));
  EXPECT_EQ(log_.Count("KepSetStopReason(): a, "), 0u) << log_.Dump();
}

TEST_F(StopReason, AHaltAfterAResetRunRemovesTheFileAndKeepsTheRun) {
  MonitorOn();
  Set(KEP_STOP_REASON_RESET, "a");
  Set(KEP_STOP_REASON_RESET, "a");
  dir_.Write("rebootApplicationData", "a 1\n");
  Set(KEP_STOP_REASON_HALT, "b");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_HALT);
  EXPECT_FALSE(FileExists(path_));
  EXPECT_EQ(resetAppName, "a");
  EXPECT_EQ(resetAppCount, 2u);
  // The next reset by the same application is the third of the run.
  Set(KEP_STOP_REASON_RESET, "a");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
}

TEST_F(StopReason, ARebootWhileARunIsHeldRecordsTheApplicationOfTheRun) {
  MonitorOn();
  Set(KEP_STOP_REASON_RESET, "a");
  Set(KEP_STOP_REASON_REBOOT, "b");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_EQ(ReadFile(path_), "a 1\n");
}

TEST_F(StopReason, ARebootWithoutARunOrWithoutAnApplicationRemovesTheFile) {
  MonitorOn();
  dir_.Write("rebootApplicationData", "a 1\n");
  Set(KEP_STOP_REASON_REBOOT, "a");
  EXPECT_FALSE(FileExists(path_));

  Set(KEP_STOP_REASON_RESET, "a");
  dir_.Write("rebootApplicationData", "a 1\n");
  Set(KEP_STOP_REASON_REBOOT, nullptr);
  EXPECT_FALSE(FileExists(path_));
  EXPECT_EQ(rebootAppCount, 0u);
}

TEST_F(StopReason, AFailedWriteIsReportedAndTheRebootGoesAhead) {
  MonitorOn();
  std::string unreachable = dir_.File("missing/deeper/rebootApplicationData");
  rebootFilePath = unreachable.c_str();
  for (int i = 0; i < 3; ++i) Set(KEP_STOP_REASON_RESET, "a");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  ASSERT_FALSE(log_.Lines().empty());
  const LogLine &last = log_.Lines().back();
  EXPECT_EQ(last.text, "KepSetStopReason(): write reboot app (a, 1) failed.");
  EXPECT_EQ(last.level, 1);
}

TEST_F(StopReason, MissingNamesShowAsNullAndFnNotSpecified) {
  KepSetStopReason(KEP_STOP_REASON_NONE, nullptr, nullptr, 7);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_NONE);
  EXPECT_EQ(log_.Texts(),
            (std::vector<std::string>{"KepSetStopReason(): set stop reason to 1 [None], app: NULL, "
                                      "(fn_not_specified(), 7)."}));
  KepSetStopReason(77, "a", "f", 8);
  EXPECT_TRUE(log_.Contains("set stop reason to 77 [unknown], app: a, (f(), 8)."));
}

}  // namespace
