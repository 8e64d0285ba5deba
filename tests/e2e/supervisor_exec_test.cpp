// The whole supervisor from the outside: shell-script applications in the
// sandbox, started, stopped, restarted, escalated to a reboot, watched and killed.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "e2e_support.h"
#include "kep_main.h"

namespace {

using e2e::CountOf;
using e2e::Outcome;

const char kStopped[] = "---- kep stopped ----";

// Short delays so that no scenario waits longer than its behaviour needs.
const char kQuickSettings[] =
    "killDelay 2\n"
    "killRetries 1\n"
    "startSyncTime 3\n"
    "stopSyncTime 1\n"
    "initSyncTime 5\n"
    "globalEnv PATH \"/usr/bin:/bin\"\n";

// A well-behaved application: reports start and init, notes what happens to it
// in the shared record file and stops on SIGTERM.
std::string GoodApp(const e2e::State &state, const std::string &name, const std::string &record) {
  return e2e::ShellApp(state, name,
                       "trap 'echo \"term " + name + "\" >> " + record +
                           "; " KEP_NOTIFY
                           " stop; exit 0' TERM\n"
                           "echo \"start " +
                           name + "\" >> " + record +
                           "\n" KEP_NOTIFY " start\n" KEP_NOTIFY
                           " init\n"
                           "echo \"init " +
                           name + "\" >> " + record +
                           "\n"
                           "while :; do sleep 1 & wait $!; done\n");
}

// Restarted whenever it dies, and it dies at once after reporting its start.
std::string CrashingApp(const e2e::State &state, const std::string &record) {
  return e2e::ShellApp(state, "crasher",
                       "echo start >> " + record + "\n" KEP_NOTIFY " start\nexit 3\n");
}

std::string CrashConfig(const std::string &app, const std::string &extra = "") {
  return std::string(kQuickSettings) +
         "deathMonitorAction reset\n"
         "deathMonitorPeriod 60\n"
         "deathMonitorMaxDeath 2\n" +
         extra + "application " + app + " {\n  deathAction restart\n  startSync\n}\n";
}

size_t Count(const std::vector<std::string> &lines, const std::string &line) {
  size_t n = 0;
  for (const std::string &each : lines) n += each == line;
  return n;
}

size_t IndexOf(const std::vector<std::string> &lines, const std::string &line) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == line) return i;
  return lines.size();
}

// Runs kep until condition holds, then stops it with signalNumber. The sandbox
// ends only once no process is left in it, so a run that ends in time has left
// no child behind.
Outcome RunAndStop(const e2e::State &state, const std::vector<std::string> &args,
                   const std::function<bool()> &condition, double startSeconds,
                   int signalNumber = SIGTERM, double stopSeconds = 30) {
  e2e::Run run(state, e2e::KepCommand(args));
  bool reached = e2e::WaitUntil([&] { return condition() || !run.Running(); }, startSeconds);
  EXPECT_TRUE(reached && run.Running()) << "kep did not get there\n" << state.Dlog();
  run.Signal(signalNumber);
  return run.Wait(stopSeconds);
}

}  // namespace

TEST(SupervisorExec, StartsLevelByLevelAndStopsEverythingOnSigterm) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  const std::string record = state.File("record");
  std::string config = std::string(kQuickSettings);
  for (const char *name : {"first", "second"}) {
    config += "application " + GoodApp(state, name, record) +
              " {\n  deathAction restart\n  startSync\n  initSync\n  stopSync\n}\n";
  }
  config += "application " + GoodApp(state, "later", record) +
            " {\n  startLevel 5\n  deathAction restart\n  startSync\n  stopSync\n}\n";
  const std::string conf = state.Write("kep.conf", config);

  Outcome outcome = RunAndStop(
      state, {"-c", conf}, [&] { return CountOf(ReadFile(record), "init later") > 0; }, 30);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;

  std::vector<std::string> lines = e2e::Lines(ReadFile(record));
  for (const char *name : {"first", "second", "later"}) {
    EXPECT_EQ(Count(lines, std::string("start ") + name), 1u) << name;
    EXPECT_EQ(Count(lines, std::string("term ") + name), 1u) << name;
  }
  EXPECT_GT(IndexOf(lines, "start later"), IndexOf(lines, "init first"));
  EXPECT_GT(IndexOf(lines, "start later"), IndexOf(lines, "init second"));

  std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "*** EXITED ***"), 3u) << dlog;
  EXPECT_EQ(CountOf(dlog, "main(): returned from state machine."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u);
  EXPECT_TRUE(state.RebootCalls().empty());
}

TEST(SupervisorExec, SigintStopsTheApplicationsLikeSigterm) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  const std::string record = state.File("record");
  const std::string conf = state.Write(
      "kep.conf", std::string(kQuickSettings) + "application " + GoodApp(state, "only", record) +
                      " {\n  deathAction restart\n  startSync\n  stopSync\n}\n");
  Outcome outcome = RunAndStop(
      state, {"-c", conf}, [&] { return CountOf(ReadFile(record), "init only") > 0; }, 20, SIGINT);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(CountOf(ReadFile(record), "term only"), 1u);
  EXPECT_EQ(CountOf(state.Dlog(), kStopped), 1u);
}

TEST(SupervisorExec, AConfigurationErrorStartsNothingAndEndsCleanly) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  const std::string record = state.File("record");
  const std::string conf =
      state.Write("bad.conf", "application " + GoodApp(state, "never", record) +
                                  " {\n  deathAction restart\n  frobnicate\n}\n");
  Outcome outcome = e2e::RunKep(state, {"-c", conf}, 20);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "main(): error parsing config file " + conf + "."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "main(): returned from state machine."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u) << dlog;
  EXPECT_FALSE(FileExists(record));
}

TEST(SupervisorExec, InTheBackgroundTheForegroundProcessEndsAndTheDaemonSupervises) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  const std::string record = state.File("record");
  const std::string app = e2e::ShellApp(state, "daemonchild",
                                        "trap 'exit 0' TERM\n"
                                        "echo \"parent $PPID\" >> " +
                                            record +
                                            "\n" KEP_NOTIFY
                                            " start\n"
                                            "while :; do sleep 1 & wait $!; done\n");
  const std::string conf =
      state.Write("kep.conf", std::string(kQuickSettings) + "application " + app +
                                  " {\n  deathAction none\n  startSync\n}\n");
  // Everything happens inside one sandbox: the daemon must not outlive it.
  std::string kep;
  for (const std::string &word : e2e::KepCommand({"-b", "-c", conf})) kep += "'" + word + "' ";
  const std::string script = kep + "\necho \"foreground $?\" >> " + record +
                             "\n"
                             "until grep -q '^parent ' " +
                             record +
                             "; do sleep 0.05; done\n"
                             "daemon=$(sed -n 's/^parent //p' " +
                             record +
                             ")\n"
                             "kill -TERM \"$daemon\"\n"
                             "until grep -q -- '" +
                             kStopped + "' /var/log/dlog.log; do sleep 0.05; done\n";
  e2e::Run run(state, {"/bin/sh", "-c", script});
  Outcome outcome = run.Wait(30);
  EXPECT_FALSE(outcome.timedOut) << state.Dlog();
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  std::vector<std::string> lines = e2e::Lines(ReadFile(record));
  EXPECT_EQ(Count(lines, "foreground 0"), 1u) << ReadFile(record);
  std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "now running in background."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "*** EXITED ***"), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u) << dlog;
}

TEST(SupervisorExec, RepeatedCrashesEscalateToOneReboot) {
  KEP_E2E_REQUIRE_SANDBOX();
  struct Case {
    const char *what;
    std::vector<std::string> args;
    std::string settings;
    const char *message;
    size_t reboots;
  };
  const Case cases[] = {
      {"reboot", {}, "", "main(): reboot being requested.", 1},
      {"-r", {"-r"}, "", "main(): reboot disabled via argument.", 0},
      {"disableReboot", {}, "disableReboot\n", "main(): reboot disabled via configuration.", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    e2e::State state;
    const std::string record = state.File("record");
    const std::string app = CrashingApp(state, record);
    const std::string conf = state.Write("kep.conf", CrashConfig(app, c.settings));
    std::vector<std::string> args = {"-c", conf, "-f", "/var/local/rebootApplicationData"};
    args.insert(args.end(), c.args.begin(), c.args.end());

    Outcome outcome = e2e::RunKep(state, args, 60);
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    std::string dlog = state.Dlog();
    // Two deaths make a reset; the third reset in a row becomes a reboot.
    EXPECT_EQ(CountOf(dlog, "KepCheckForBadApp(): stopping, app: " + app + ", reason: reset."), 3u)
        << dlog;
    EXPECT_EQ(CountOf(dlog, "RESET -> REBOOT, app: " + app + "."), 1u) << dlog;
    EXPECT_EQ(CountOf(dlog, c.message), 1u) << dlog;
    EXPECT_EQ(CountOf(ReadFile(record), "start"), 6u);
    EXPECT_EQ(state.RebootCalls().size(), c.reboots);
    EXPECT_EQ(ReadFile(state.Inside("/var/local/rebootApplicationData")), app + " 1\n");
    EXPECT_EQ(CountOf(dlog, kStopped), 1u);
  }
}

TEST(SupervisorExec, AnApplicationBehindThreeRebootsInARowIsNotStartedAgain) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  const std::string record = state.File("record");
  const std::string app = CrashingApp(state, record);
  const std::string conf = state.Write("kep.conf", CrashConfig(app));
  // The default reboot-application file, in the sandbox's /etc; the device
  // ships its folder.
  ASSERT_EQ(KepMkdirDashP(state.Inside("/etc/kep").c_str()), 0);
  const std::string rebootFile = state.Inside("/etc/kep/rebootApplicationData");

  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    Outcome outcome = e2e::RunKep(state, {"-c", conf}, 60);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(state.RebootCalls().size(), static_cast<size_t>(run));
    EXPECT_EQ(ReadFile(rebootFile), app + " " + std::to_string(run) + "\n");
  }
  std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "main(): read reboot app (" + app + ", 1)."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "main(): read reboot app (" + app + ", 2)."), 1u) << dlog;

  // The fourth start finds three reboots recorded: the application stays off.
  const size_t startsBefore = CountOf(ReadFile(record), "start");
  Outcome outcome = RunAndStop(
      state, {"-c", conf},
      [&] { return CountOf(state.Dlog(), "main(): starting state machine.") >= 4; }, 20);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "main(): disabling app (" + app + ", 3)."), 1u) << dlog;
  EXPECT_FALSE(FileExists(rebootFile));
  EXPECT_EQ(CountOf(ReadFile(record), "start"), startsBefore);
  EXPECT_EQ(state.RebootCalls().size(), 3u);
}

TEST(SupervisorExec, AnApplicationThatStopsFeedingItsWatchdogIsStopped) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  const std::string conf =
      state.Write("kep.conf", std::string(kQuickSettings) +
                                  "wdTimeout 1\n"
                                  "application " KEP_TEST_APP
                                  " {\n  deathAction none\n  startSync\n  wdEnable\n"
                                  "  arg \"--feed=3 --feed-every=100\"\n}\n");
  Outcome outcome = RunAndStop(
      state, {"-c", conf}, [&] { return CountOf(state.Dlog(), "*** EXITED ***") > 0; }, 20);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "KepWdCheck(): watchdog timeout: " KEP_TEST_APP ", pid: "), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "*** EXITED ***"), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u);
}

TEST(SupervisorExec, AnApplicationThatIgnoresSigtermIsKilled) {
  KEP_E2E_REQUIRE_SANDBOX();
  e2e::State state;
  const std::string conf = state.Write(
      "kep.conf", std::string(kQuickSettings) +
                      "killRetries 0\n"
                      "application " KEP_TEST_APP
                      " {\n  deathAction none\n  startSync\n  arg \"--ignore-term\"\n}\n");
  Outcome outcome = RunAndStop(
      state, {"-c", conf}, [&] { return CountOf(state.Dlog(), "=> Running") > 0; }, 20);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "signalNum: 9,"), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u);
}
