// The stop reason: the disable-reset policy, the run of resets and its
// escalation into a reboot, and the reboot-application file kept in step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kep_main.h"
#include "kep_test.h"

namespace {

class StopReason : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    stopReason = KEP_STOP_REASON_INVALID;
    resetAppName.clear();
    resetAppCount = rebootAppCount = 0;
    rebootFilePath = path_.c_str();
    KepMutableSettings().deathMonitorAction = KEP_DEATH_ACTION_REBOOT;
  }
  void TearDown() override {
    rebootFilePath = kKepDefaultRebootFilePath;
    ResetModel();
  }

  void Set(uint32_t reason, const char *app) { KepSetStopReason(reason, app, "caller", 42); }

  TempDir dir_;
  std::string path_ = dir_.File("rebootApplicationData");
  LogCapture log_;
};

TEST_F(StopReason, TheThirdResetInARowByOneApplicationBecomesARecordedReboot) {
  // The run held after each reset (name and count; "!" once it became a
  // reboot): another application, or none, starts it again.
  std::string runs;
  for (const char *app :
       {"a", "a", "b", "a", "a", static_cast<const char *>(nullptr), "a", "a", "a"}) {
    Set(KEP_STOP_REASON_RESET, app);
    runs += resetAppName + std::to_string(resetAppCount) +
            (stopReason == KEP_STOP_REASON_REBOOT ? "! " : " ");
  }
  EXPECT_EQ(runs, "a1 a2 b1 a1 a2 0 a1 a2 a3! ");
  EXPECT_TRUE(log_.Contains("KepSetStopReason(): RESET -> REBOOT, app: a.")) << log_.Dump();
  EXPECT_EQ(ReadFile(path_), "a 1\n");
  // The run goes on; each recorded reboot counts one more than the last.
  Set(KEP_STOP_REASON_RESET, "a");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  EXPECT_EQ(ReadFile(path_), "a 2\n");
}

TEST_F(StopReason, TheFileSurvivesOnlyARebootThatItRecords) {
  constexpr uint32_t kOn = KEP_DEATH_ACTION_REBOOT, kOff = KEP_DEATH_ACTION_NOT_SET;
  constexpr uint32_t kReset = KEP_STOP_REASON_RESET, kReboot = KEP_STOP_REASON_REBOOT,
                     kHalt = KEP_STOP_REASON_HALT;
  struct Case {
    uint32_t monitor;
    uint8_t disableReset;
    uint32_t heldCount;  // of a run held by "a"; only a tracked reset moves it
    uint32_t reason;
    const char *app;
    uint32_t stored;
    const char *file;  // null: removed
  };
  const Case cases[] = {
      {kOn, 1, 2, kReset, "a", kHalt, nullptr},         // disabled resets are not tracked
      {kOff, 0, 2, kReset, "a", kReset, nullptr},       // nor escalated without the monitor
      {kOn, 0, 2, kHalt, "b", kHalt, nullptr},          // the run stays held
      {kOn, 0, 1, kReboot, "b", kReboot, "a 1\n"},      // the run's application is recorded
      {kOn, 0, 0, kReboot, "a", kReboot, nullptr},      // no run
      {kOn, 0, 1, kReboot, nullptr, kReboot, nullptr},  // no application
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(&c - cases);
    KepMutableSettings().deathMonitorAction = c.monitor;
    KepMutableSettings().disableReset = c.disableReset;
    resetAppName = c.heldCount != 0 ? "a" : "";
    resetAppCount = c.heldCount;
    rebootAppCount = 0;
    dir_.Write("rebootApplicationData", "old 1\n");
    Set(c.reason, c.app);
    EXPECT_EQ(stopReason, c.stored);
    EXPECT_EQ(FileExists(path_) ? ReadFile(path_) : "(removed)", c.file ? c.file : "(removed)");
    EXPECT_EQ(resetAppCount, c.heldCount);
  }
}

TEST_F(StopReason, AFailedWriteIsReportedAndTheRebootGoesAhead) {
  std::string unreachable = dir_.File("missing/deeper/rebootApplicationData");
  rebootFilePath = unreachable.c_str();
  for (int i = 0; i < 3; ++i) Set(KEP_STOP_REASON_RESET, "a");
  EXPECT_EQ(stopReason, KEP_STOP_REASON_REBOOT);
  ASSERT_FALSE(log_.Lines().empty());
  EXPECT_EQ(log_.Lines().back().text, "KepSetStopReason(): write reboot app (a, 1) failed.");
  EXPECT_EQ(log_.Lines().back().level, 1);
}

// Removing a file that is not there is no failure either.
TEST_F(StopReason, MissingNamesShowAsNullAndFnNotSpecified) {
  KepSetStopReason(KEP_STOP_REASON_NONE, nullptr, nullptr, 7);
  EXPECT_EQ(stopReason, KEP_STOP_REASON_NONE);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"KepSetStopReason(): set stop reason to 1 "
                                                   "[None], app: NULL, (fn_not_specified(), 7)."});
}

}  // namespace
