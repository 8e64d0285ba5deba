// The reboot request and the reboot decision at shut-down, against the fake
// system(), reboot() and sync().
#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake.h"
#include "kep_front_end.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

using kep::fake::World;
using Texts = std::vector<std::string>;

// Each logged line as "<level><n if notice> <text>".
Texts Logged(const LogCapture &log) {
  Texts lines;
  for (const LogLine &line : log.Lines())
    lines.push_back(std::to_string(line.level) + (line.notice ? "n " : " ") + line.text);
  return lines;
}

}  // namespace

TEST(RebootRequest, RunsTheFoundCommandAndFallsBackToTheSystemCall) {
  const std::string longPath = "/" + std::string(250, 'p') + "/reboot";
  const std::string kRan = "3n RequestReboot(): system(/sbin/reboot) succeeded.";
  const std::string kRanCut =
      "3n RequestReboot(): system(" + longPath.substr(0, 199) + ") succeeded.";
  const std::string kShellFailed = "1 RequestReboot(): system(reboot) failed, errno = 10.";
  const std::string kNotFound =
      "1 RequestReboot(): could not find reboot in \"/bin:/usr/bin:/sbin:/usr/sbin\".";
  const std::string kRefused = "2 RequestReboot(): reboot() failed, errno = 1.";
  const std::string kRestarted = "3n RequestReboot(): reboot(LINUX_REBOOT_CMD_RESTART) succeeded.";
  struct Case {
    const char *found;
    int systemResult, rebootResult, status;
    Texts logged;
  };
  const Case cases[] = {
      {"/sbin/reboot", 127 << 8, -1, 0, {kRan}},  // the command's exit status is not looked at
      {longPath.c_str(), 0, -1, 0, {kRanCut}},
      {"/sbin/reboot", -1, -1, 1039, {kShellFailed, kRefused}},
      {nullptr, 0, -1, 1044, {kNotFound, kRefused}},
      {nullptr, 0, 0, 0, {kNotFound, kRestarted}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.logged.back());
    kep::fake::Reset();
    World().systemResult = c.systemResult;
    World().systemErrno = ECHILD;
    World().rebootResult = c.rebootResult;
    World().rebootErrno = EPERM;
    LogCapture log;
    EXPECT_EQ(KepRebootWithCommand(c.found), c.status);
    EXPECT_EQ(World().systemCalls, c.found ? Texts{std::string(c.found).substr(0, 199)} : Texts{});
    EXPECT_EQ(World().rebootCalls, c.found && c.systemResult != -1 ? 0 : 1);
    EXPECT_EQ(Logged(log), c.logged);
  }
}

TEST(RebootDecision, TheConfigurationOutranksTheArgumentAndAFailedRequestIsOnlyLogged) {
  struct Case {
    uint8_t requested, configured, argument;
    bool fails;
    Texts logged;  // those of main(); RequestReboot's own are covered above
  };
  const Case cases[] = {
      {0, 1, 1, false, {}},
      {1, 1, 1, false, {"3n main(): reboot disabled via configuration."}},
      {1, 1, 0, false, {"3n main(): reboot disabled via configuration."}},
      {1, 0, 1, false, {"3n main(): reboot disabled via argument."}},
      {1, 0, 0, false, {"3n main(): reboot being requested."}},
      {1, 0, 0, true, {"3n main(): reboot being requested.", "1 main(): RequestReboot() failed."}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << int(c.requested) << int(c.configured) << int(c.argument) << c.fails);
    kep::fake::Reset();
    ResetModel();
    World().systemResult = c.fails ? -1 : 0;
    World().rebootResult = c.fails ? -1 : 0;  // whether this machine has a reboot command or not
    rebootRequested = c.requested;
    KepMutableSettings().disableReboot = c.configured;
    disableRebootArg = c.argument;
    LogCapture log;
    KepDecideReboot();
    Texts logged;
    for (const std::string &line : Logged(log))
      if (line.find(" main(): ") != std::string::npos) logged.push_back(line);
    EXPECT_EQ(logged, c.logged);
    const bool asked = !c.logged.empty() && c.logged[0].find("requested") != std::string::npos;
    EXPECT_EQ(World().syncCalls, asked ? 1 : 0);
  }
  rebootRequested = 0;
  disableRebootArg = 0;
  ResetModel();
}
