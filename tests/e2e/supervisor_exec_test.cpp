// The whole supervisor from the outside, each run showing as much as it can:
// applications started by level, watched, stopped and killed; crashes escalated
// to reboots over consecutive runs of one device.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "kep_main.h"

namespace {

using e2e::CountOf;

const char kStopped[] = "---- kep stopped ----";

// Short delays so that no scenario waits longer than its behaviour needs.
const char kQuickSettings[] =
    "killDelay 2\n"
    "killRetries 0\n"
    "startSyncTime 3\n"
    "stopSyncTime 1\n"
    "initSyncTime 5\n"
    "globalEnv PATH \"/usr/bin:/bin\"\n";

// Notes its start, init and SIGTERM in record (each before reporting it to
// kep, so that the order of the notes is kep's order) and stops cleanly.
std::string GoodApp(const e2e::State &state, const std::string &name, const std::string &record) {
  auto note = [&](const char *what) { return "echo '" + (what + (" " + name)) + "' >> " + record; };
  return state.Script(name, "trap \"" + note("term") + "; " KEP_NOTIFY " stop; exit 0\" TERM\n" +
                                note("start") + "; " KEP_NOTIFY " start\n" + note("init") +
                                "; " KEP_NOTIFY " init\nwhile :; do sleep 1 & wait $!; done\n");
}

std::string Application(const std::string &path, const std::string &keywords) {
  return "application " + path + " {\n" + keywords + "}\n";
}

// The test application under another name, so that two of them can be configured.
std::string TestApp(const e2e::State &state, const std::string &name) {
  const std::string path = state.File(name);
  EXPECT_EQ(symlink(KEP_TEST_APP, path.c_str()), 0);
  return path;
}

// Runs kep until ready() holds, then sends signalNumber and waits for the end.
e2e::Outcome RunAndStop(const e2e::State &state, const std::vector<std::string> &args,
                        const std::function<bool()> &ready, int signalNumber) {
  e2e::Run run(state, e2e::KepCommand(args));
  EXPECT_TRUE(e2e::WaitUntil([&] { return ready() || !run.Running(); }, 30) && run.Running())
      << "kep did not get there\n"
      << state.Dlog();
  run.Signal(signalNumber);
  return run.Wait(30);
}

}  // namespace

TEST(SupervisorExec, StartsByLevelWatchesAndStopsEverythingOnSigterm) {
  e2e::State state;
  const std::string record = state.File("record");
  const std::string feeder = TestApp(state, "feeder");
  const std::string stubborn = TestApp(state, "stubborn");
  const std::string conf = state.Write(
      "kep.conf",
      std::string(kQuickSettings) + "wdTimeout 1\n" +
          Application(GoodApp(state, "first", record),
                      "deathAction restart\nstartSync\ninitSync\nstopSync\n") +
          Application(GoodApp(state, "later", record),
                      "startLevel 5\ndeathAction restart\nstartSync\ninitSync\nstopSync\n") +
          // Stops feeding its watchdog after 0.3 s.
          Application(feeder, "deathAction none\nstartSync\nwdEnable\narg \"--feed=3\"\n") +
          Application(stubborn, "deathAction none\nstartSync\narg \"--ignore-term\"\n"));

  e2e::Outcome outcome = RunAndStop(
      state, {"-c", conf, "-l", "45"},
      [&] {
        return CountOf(ReadFile(record), "init later") > 0 &&
               CountOf(state.Dlog(), "*** EXITED ***") > 0;
      },
      SIGTERM);
  // The sandbox ends only once no process is left in it.
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  // A log level that is not accepted is reported and the run goes on.
  EXPECT_EQ(CountOf(outcome.err, "kep invalid log level specified: 45.\n"), 1u) << outcome.err;

  // Level 5 starts once level 0 has initialised; the stop goes last configured first.
  EXPECT_EQ(e2e::Lines(ReadFile(record)),
            (std::vector<std::string>{"start first", "init first", "start later", "init later",
                                      "term later", "term first"}));

  const std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "kep invalid log level specified: 45."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "KepWdCheck(): watchdog timeout: " + feeder + ", pid: "), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "*** EXITED ***"), 4u) << dlog;
  EXPECT_EQ(CountOf(dlog, "signalNum: 9,"), 1u) << dlog;  // the stubborn one, killed
  EXPECT_EQ(CountOf(dlog, "main(): returned from state machine."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u) << dlog;
  EXPECT_LT(dlog.find("---- kep is starting ----"), dlog.find(kStopped));
  EXPECT_TRUE(state.Calls("reboot").empty());
}

// A hostile device: syncFiles replaced by a link to another folder, a FIFO as
// the reboot-application file, an application that cannot be executed, and a
// storm of signals that each used to end kep at once. kep removes nothing
// through the link, starts everything, logs why the execve failed, ignores the
// storm and stops in order on the final SIGQUIT.
TEST(SupervisorExec, LinksAFifoAFailedExecveAndStraySignalsLeaveSupervisionIntact) {
  e2e::State state;
  // A folder that exists keeps its mode; one that kep makes is sticky.
  ASSERT_EQ(KepMkdirDashP(state.Inside("/var/local/zel").c_str()), 0);
  ASSERT_EQ(mkdir(state.Inside("/var/local/zel/kep").c_str(), 0750), 0);
  const std::string victim = state.File("victim");
  ASSERT_EQ(mkdir(victim.c_str(), 0755), 0);
  state.Write("victim/signaller-start", "kept");
  ASSERT_EQ(symlink(victim.c_str(), state.Inside("/var/local/zel/kep/syncFiles").c_str()), 0);
  const std::string fifo = state.File("rebootFifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string broken = state.Write("broken", "#!/nonexistent/sh\n");
  chmod(broken.c_str(), 0755);
  const std::string dump = state.File("dump");
  const std::string signaller = state.Script(
      "signaller",
      "while [ ! -e " + dump + " ]; do sleep 0.1; done\nexec bash -c '" +
          "for s in PIPE XFSZ USR1 USR2 ALRM VTALRM PROF IO PWR STKFLT XCPU SYS TRAP "
          "SEGV BUS FPE ILL ABRT RTMIN RTMAX; do kill -s $s $1; done; kill -s QUIT $1; "
          "while :; do sleep 1; done' signaller $PPID\n");
  const std::string conf = state.Write(
      "kep.conf", std::string(kQuickSettings) +
                      Application(KEP_TEST_APP, "deathAction none\narg \"--dump=" + dump + "\"\n") +
                      Application(broken, "deathAction none\n") +
                      Application(signaller, "deathAction none\nstartLevel 5\n"));

  e2e::Outcome outcome = e2e::RunKep(state, {"-c", conf, "-f", fifo}, 60);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  const std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "KepRmAllFilesInDir(): opendir(/var/local/zel/kep/syncFiles) failed"), 1u)
      << dlog;
  EXPECT_EQ(ReadFile(victim + "/signaller-start"), "kept");
  EXPECT_EQ(CountOf(dlog, "KepReadAppRebootFile(): " + fifo + " is not a regular file."), 1u);
  EXPECT_EQ(CountOf(dlog, "KepStartOneApp(): execve(" + broken + ") returned, errno = 2."), 1u);
  for (const char *stray : {"signal 10 (User defined signal 1) ignored", "(Segmentation fault) ig"})
    EXPECT_EQ(CountOf(dlog, stray), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "KepSetStopReason(): set stop reason to 4 [Halt]"), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, kStopped), 1u) << dlog;
  // Ignored by kep, but not by the applications it starts.
  EXPECT_NE(ReadFile(dump).find("sigign 0000000000000000\n"), std::string::npos) << ReadFile(dump);
  struct stat made, kept;
  ASSERT_EQ(stat(state.Inside("/var/log/kep").c_str(), &made), 0);
  ASSERT_EQ(stat(state.Inside("/var/local/zel/kep").c_str(), &kept), 0);
  EXPECT_EQ(made.st_mode & 07777, 01777u);
  EXPECT_EQ(kept.st_mode & 07777, 0750u);
}

TEST(SupervisorExec, CrashesEscalateToARebootAndTheThirdRecordedRebootDisablesTheApplication) {
  e2e::State state;
  const std::string record = state.File("record");
  const std::string app =
      state.Script("crasher", "echo start >> " + record + "\n" KEP_NOTIFY " start\nexit 3\n");
  auto config = [&](const std::string &extra) {
    return kQuickSettings + extra +
           "deathMonitorAction reset\ndeathMonitorPeriod 60\ndeathMonitorMaxDeath 2\n" +
           Application(app, "deathAction restart\nstartSync\n");
  };
  const std::string conf = state.Write("kep.conf", config(""));
  const std::string noReboot = state.Write("noreboot.conf", config("disableReboot\n"));
  // The default reboot-application file; the device ships its folder.
  ASSERT_EQ(KepMkdirDashP(state.Inside("/etc/kep").c_str()), 0);
  const std::string rebootFile = state.Inside("/etc/kep/rebootApplicationData");
  // A link at the temporary file's path is neither written through nor renamed into place.
  const std::string victim = state.Write("victim", "untouched\n");
  ASSERT_EQ(symlink(victim.c_str(), (rebootFile + ".tmp").c_str()), 0);

  std::string background;
  for (const std::string &word : e2e::KepCommand({"-b", "-c", conf})) background += word + " ";
  const struct {
    std::vector<std::string> command;
    const char *decision;
  } runs[] = {
      {{"/bin/sh", "-c", background + "; echo foreground $? >> " + record},
       "main(): reboot being requested."},
      {e2e::KepCommand({"-r", "-c", conf}), "main(): reboot disabled via argument."},
      {e2e::KepCommand({"-c", noReboot}), "main(): reboot disabled via configuration."},
  };
  size_t n = 0;
  for (const auto &run : runs) {
    SCOPED_TRACE(run.decision);
    ++n;
    e2e::Outcome outcome = e2e::Run(state, run.command).Wait(60);
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    const std::string dlog = state.Dlog();
    // Two deaths make a reset; the third reset in a row becomes a reboot.
    EXPECT_EQ(CountOf(dlog, "KepCheckForBadApp(): stopping, app: " + app + ", reason: reset."),
              3 * n)
        << dlog;
    EXPECT_EQ(CountOf(dlog, "RESET -> REBOOT, app: " + app + "."), n) << dlog;
    EXPECT_EQ(CountOf(dlog, run.decision), 1u) << dlog;
    EXPECT_EQ(CountOf(dlog, kStopped), n) << dlog;
    EXPECT_EQ(CountOf(ReadFile(record), "start"), 6 * n);
    EXPECT_EQ(state.Calls("reboot").size(), 1u);  // -r and disableReboot forbid it
    EXPECT_EQ(ReadFile(rebootFile), app + " " + std::to_string(n) + "\n");
    struct stat info;
    EXPECT_TRUE(lstat(rebootFile.c_str(), &info) == 0 && S_ISREG(info.st_mode));
  }
  EXPECT_EQ(ReadFile(victim), "untouched\n");
  // -b: the foreground process ended with 0 while the daemon had still to crash
  // its way to the first reboot.
  EXPECT_EQ(CountOf(state.Dlog(), "now running in background."), 1u);
  const std::vector<std::string> lines = e2e::Lines(ReadFile(record));
  EXPECT_LT(std::find(lines.begin(), lines.end(), "foreground 0") - lines.begin(), 6);

  // The fourth start finds three reboots recorded: the application stays off.
  e2e::Outcome outcome = RunAndStop(
      state, {"-c", conf},
      [&] { return CountOf(state.Dlog(), "main(): starting state machine.") == 4; }, SIGINT);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  const std::string dlog = state.Dlog();
  for (const char *count : {"1", "2", "3"})
    EXPECT_EQ(CountOf(dlog, "main(): read reboot app (" + app + ", " + count + ")."), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "main(): disabling app (" + app + ", 3)."), 1u) << dlog;
  EXPECT_FALSE(FileExists(rebootFile));
  EXPECT_EQ(CountOf(ReadFile(record), "start"), 18u);
  EXPECT_EQ(CountOf(dlog, kStopped), 4u) << dlog;
}
