// kep's process frame from the outside: usage, rejected command lines, working
// directories, the passwd command, the start and closing lines and -d.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::CountOf;
using e2e::Outcome;

const char kUsage[] =
    "\n"
    "Usage:\n\n"
    "  kep [-c config] [-b] [-l level] [-d]\n\n"
    "  Where:\n\n"
    "  -b           Run in background.\n"
    "  -r           Disable reboot if failure occurs\n"
    "  -d           Disable logging to /var/log/dlog.log\n"
    "  -v           Enable verbose debug logging\n"
    "  -c config    Read from configuration file.\n"
    "  -f file      Application reboot name/count file.\n"
    "                 Default: /etc/kep/rebootApplicationData\n"
    "  -l level     Minimum level to log:\n"
    "               20 = Error and above\n"
    "               30 = Warning and above\n"
    "               40 = Info and above\n"
    "               50 = Debug and above\n\n";

const char kStarting[] = "---- kep is starting ----";
const char kStopped[] = "---- kep stopped ----";
const char kStateMachine[] = "main(): starting state machine.";

bool IsDirectory(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Starts kep without a configuration, waits until its state machine runs
// (seen in the file ready() names), stops it with signalNumber and returns how
// it ended.
Outcome RunUntilSignalled(const e2e::State &state, const std::vector<std::string> &args,
                          const std::string &readyFile, int signalNumber = SIGTERM) {
  e2e::Run run(state, e2e::KepCommand(args));
  bool ready = e2e::WaitUntil(
      [&] { return CountOf(ReadFile(readyFile), kStateMachine) > 0 || !run.Running(); }, 20);
  EXPECT_TRUE(ready) << "kep never reached its state machine";
  EXPECT_TRUE(run.Signal(signalNumber));
  return run.Wait(20);
}

}  // namespace

TEST(FrontEndExec, HelpPrintsTheUsageOnlyAndStillChangesThePasswordAge) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  Outcome outcome = e2e::RunKep(state, {"-f", "/somewhere/else", "-h"}, 20);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(outcome.out, kUsage);
  ASSERT_EQ(state.PasswdCalls().size(), 1u);
  EXPECT_NE(state.PasswdCalls()[0].find("-x -1 root"), std::string::npos) << state.PasswdCalls()[0];
  EXPECT_EQ(CountOf(state.Dlog(), kStopped), 0u);
}

TEST(FrontEndExec, RejectedCommandLinesEndWithStatusOne) {
  KEP_E2E_REQUIRE_SANDBOX();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-x"}, "kep received invalid option: x."},
      {{"-b", "-c"}, "kep received invalid option: c."},
      {{"-l"}, "kep received invalid option: l."},
      {{"-r", "stray"}, "kep received invalid argument: stray."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    e2e::State state;
    Outcome outcome = e2e::RunKep(state, c.args, 20);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(CountOf(outcome.err, c.message + "\n"), 1u) << outcome.err;
    EXPECT_TRUE(outcome.out.empty()) << outcome.out;
    std::string dlog = state.Dlog();
    EXPECT_EQ(CountOf(dlog, c.message), 1u) << dlog;
    EXPECT_EQ(CountOf(dlog, kStarting), 1u) << dlog;
    EXPECT_EQ(CountOf(dlog, kStopped), 0u) << dlog;
    EXPECT_EQ(state.PasswdCalls().size(), 1u);
  }
}

TEST(FrontEndExec, ARunMakesItsDirectoriesAndWritesTheStartAndClosingLines) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  Outcome outcome = RunUntilSignalled(state, {"-l", "45"}, state.DlogPath());
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(CountOf(outcome.err, "kep invalid log level specified: 45.\n"), 1u) << outcome.err;

  for (const char *folder : {"/var/local/zel/kep", "/var/local/zel/kep/syncFiles", "/var/log/kep"})
    EXPECT_TRUE(IsDirectory(state.Inside(folder))) << folder;
  EXPECT_EQ(state.PasswdCalls().size(), 1u);
  EXPECT_TRUE(state.RebootCalls().empty());

  std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, kStarting), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "kep invalid log level specified: 45."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "main(): returned from state machine."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u) << dlog;
  EXPECT_LT(dlog.find(kStarting), dlog.find(kStopped));
}

TEST(FrontEndExec, SigintStopsAnIdleSupervisorLikeSigterm) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  Outcome outcome = RunUntilSignalled(state, {}, state.DlogPath(), SIGINT);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(CountOf(state.Dlog(), kStopped), 1u) << state.Dlog();
}

TEST(FrontEndExec, DashDKeepsLaterMessagesOutOfTheDebugLogButNotTheClosingLine) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  // The debug log stays quiet, so readiness is read from kep's own log file.
  Outcome outcome =
      RunUntilSignalled(state, {"-d", "-l", "40"}, state.Inside("/var/log/kep/kep.log"));
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, kStarting), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStateMachine), 0u) << dlog;
  EXPECT_EQ(CountOf(dlog, "main(): returned from state machine."), 0u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u) << dlog;
  EXPECT_EQ(CountOf(ReadFile(state.Inside("/var/log/kep/kep.log")), kStateMachine), 1u);
}
