// The reboot request and the reboot decision at shut-down, against the fake
// system(), reboot() and sync().
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "ZelPathfind.h"
#include "fake.h"
#include "kep_front_end.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

using kep::fake::World;

const char *const kSearchPath = "/bin:/usr/bin:/sbin:/usr/sbin";

// What the fixed search finds on this machine, or "" when nothing.
std::string RebootOnThisMachine() {
  char *found = ZelPathfind(kSearchPath, "reboot", "rx");
  std::string path = found != nullptr ? found : "";
  free(found);
  return path;
}

class RebootRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    kep::fake::Reset();
    World().rebootResult = -1;
    World().rebootErrno = EPERM;
  }
  LogCapture log_;
};

}  // namespace

TEST_F(RebootRequest, AFoundCommandSucceedsWhateverItsExitStatus) {
  for (int result : {0, 256, 127 << 8}) {
    SCOPED_TRACE(result);
    kep::fake::Reset();
    log_.Clear();
    World().systemResult = result;
    EXPECT_EQ(KepRebootWithCommand("/sbin/reboot"), 0);
    EXPECT_EQ(World().systemCalls, std::vector<std::string>{"/sbin/reboot"});
    EXPECT_EQ(World().rebootCalls, 0);
    ASSERT_EQ(log_.Lines().size(), 1u) << log_.Dump();
    EXPECT_EQ(log_.Lines()[0].text, "RequestReboot(): system(/sbin/reboot) succeeded.");
    EXPECT_EQ(log_.Lines()[0].level, 3);
    EXPECT_EQ(log_.Lines()[0].notice, 1);
    EXPECT_EQ(log_.Lines()[0].file, "KepMain");
  }
}

TEST_F(RebootRequest, AShellFailureNamesOnlyTheCommandAndFallsBackToTheSystemCall) {
  World().systemResult = -1;
  World().systemErrno = ECHILD;
  EXPECT_EQ(KepRebootWithCommand("/usr/sbin/reboot"), 1039);
  EXPECT_EQ(World().rebootCalls, 1);
  EXPECT_EQ(log_.Texts(), (std::vector<std::string>{
                              "RequestReboot(): system(reboot) failed, errno = 10.",
                              "RequestReboot(): reboot() failed, errno = 1.",
                          }));
  EXPECT_EQ(log_.Lines()[0].level, 1);
  EXPECT_EQ(log_.Lines()[1].level, 2);
}

TEST_F(RebootRequest, AMissingCommandFallsBackToTheSystemCall) {
  EXPECT_EQ(KepRebootWithCommand(nullptr), 1044);
  EXPECT_TRUE(World().systemCalls.empty());
  EXPECT_EQ(World().rebootCalls, 1);
  EXPECT_EQ(log_.Texts(), (std::vector<std::string>{
                              "RequestReboot(): could not find reboot in "
                              "\"/bin:/usr/bin:/sbin:/usr/sbin\".",
                              "RequestReboot(): reboot() failed, errno = 1.",
                          }));
  EXPECT_EQ(log_.Lines()[0].level, 1);
  EXPECT_EQ(log_.Lines()[1].level, 2);
}

TEST_F(RebootRequest, ASuccessfulSystemCallCountsAsHandedOver) {
  World().rebootResult = 0;
  EXPECT_EQ(KepRebootWithCommand(nullptr), 0);
  World().systemResult = -1;
  EXPECT_EQ(KepRebootWithCommand("/sbin/reboot"), 0);
  EXPECT_EQ(World().rebootCalls, 2);
  EXPECT_EQ(log_.Count("RequestReboot(): reboot(LINUX_REBOOT_CMD_RESTART) succeeded."), 2u);
}

TEST_F(RebootRequest, ALongPathIsCutTo199Characters) {
  const std::string longPath = "/" + std::string(250, 'p') + "/reboot";
  EXPECT_EQ(KepRebootWithCommand(longPath.c_str()), 0);
  ASSERT_EQ(World().systemCalls.size(), 1u);
  EXPECT_EQ(World().systemCalls[0], longPath.substr(0, 199));
}

TEST_F(RebootRequest, SyncsAndRunsWhatTheFixedSearchFinds) {
  const std::string found = RebootOnThisMachine();
  int status = RequestReboot();
  EXPECT_EQ(World().syncCalls, 1);
  if (found.empty()) {
    EXPECT_EQ(status, 1044);
    EXPECT_TRUE(World().systemCalls.empty());
  } else {
    EXPECT_EQ(status, 0);
    EXPECT_EQ(World().systemCalls, std::vector<std::string>{found});
    EXPECT_EQ(World().rebootCalls, 0);
  }
}

namespace {

class RebootDecision : public ::testing::Test {
 protected:
  void SetUp() override {
    kep::fake::Reset();
    ResetModel();
    rebootRequested = 0;
    disableRebootArg = 0;
  }
  void TearDown() override {
    rebootRequested = 0;
    disableRebootArg = 0;
    ResetModel();
  }
  LogCapture log_;
};

}  // namespace

TEST_F(RebootDecision, FollowsTheRequestTheConfigurationAndTheArgument) {
  struct Case {
    uint8_t requested, configured, argument;
    std::vector<std::string> texts;
    bool asked;
  };
  const Case cases[] = {
      {0, 0, 0, {}, false},
      {0, 1, 1, {}, false},
      {1, 1, 1, {"main(): reboot disabled via configuration."}, false},
      {1, 1, 0, {"main(): reboot disabled via configuration."}, false},
      {1, 0, 1, {"main(): reboot disabled via argument."}, false},
      {1, 0, 0, {"main(): reboot being requested."}, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.requested) << int(c.configured) << int(c.argument));
    kep::fake::Reset();
    log_.Clear();
    rebootRequested = c.requested;
    KepMutableSettings().disableReboot = c.configured;
    disableRebootArg = c.argument;
    KepDecideReboot();
    std::vector<std::string> texts = log_.Texts();
    if (c.asked) texts.resize(1);  // what RequestReboot logs is covered above
    EXPECT_EQ(texts, c.texts);
    EXPECT_EQ(World().syncCalls, c.asked ? 1 : 0);
    for (const LogLine &line : log_.Lines()) {
      if (line.file == "KepMain" && line.text.rfind("main(): reboot", 0) == 0) {
        EXPECT_EQ(line.level, 3);
        EXPECT_EQ(line.notice, 1);
      }
    }
  }
}

TEST_F(RebootDecision, AFailedRequestIsLoggedAndShutDownGoesOn) {
  rebootRequested = 1;
  World().systemResult = -1;
  World().rebootResult = -1;
  KepDecideReboot();
  ASSERT_FALSE(log_.Lines().empty());
  EXPECT_EQ(log_.Lines().back().text, "main(): RequestReboot() failed.");
  EXPECT_EQ(log_.Lines().back().level, 1);
  EXPECT_EQ(World().rebootCalls, 1);
}
