// The whole supervisor from the outside, each run showing as much as it can:
// applications started by level into a clean process, watched, stopped and
// killed on a hostile device; crashes escalated to reboots over consecutive
// runs, followed by kep-status; a full disk under the log files. The scripts
// run in the state folder (State::Script) and find kep-notify on their PATH.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "kep_main.h"
#include "report.h"

namespace {

const char kStopped[] = "---- kep stopped ----";
const std::string kAppPath = KEP_BINARY_DIR ":/usr/bin:/bin";
// Short delays so that no scenario waits longer than its behaviour needs.
const std::string kQuickSettings =
    "killDelay 2\nkillRetries 0\nstartSyncTime 3\nstopSyncTime 1\ninitSyncTime 5\n"
    "globalEnv PATH \"" +
    kAppPath + "\"\n";

}  // namespace

// kep without standard input and output (it puts /dev/null there), with umask
// 077 and a descriptor of its parent open; syncFiles is another user's link to
// another folder, the reboot-application file a FIFO; one application cannot be executed, one stops
// feeding its watchdog, one survives SIGTERM with a grandchild and, once the watchdog has struck,
// sends kep a storm of stray signals and finally SIGQUIT. kep removes nothing through the link,
// logs why the execve failed, ignores the storm and stops everything in order; the first
// application records what it was given.
TEST(SupervisorExec, OneRunOnAHostileDeviceStartsWatchesAndStopsEverythingInOrder) {
  e2e::State state;
  // A folder that exists keeps its mode; one that kep makes is sticky.
  ASSERT_EQ(KepMkdirDashP(state.Inside("/var/local/zel").c_str()), 0);
  ASSERT_EQ(mkdir(state.Inside("/var/local/zel/kep").c_str(), 0750), 0);
  const std::string victim = state.File("victim");
  ASSERT_EQ(mkdir(victim.c_str(), 0755), 0);
  state.Write("victim/kep-test-app-stale", "kept");
  const std::string syncFiles = state.Inside("/var/local/zel/kep/syncFiles");
  ASSERT_EQ(symlink(victim.c_str(), syncFiles.c_str()), 0);
  // A link of root's would be followed: the device's own, to a RAM file system.
  const bool planted = e2e::GiveToAnotherUser(syncFiles);
  ASSERT_EQ(mkfifo(state.File("rebootFifo").c_str(), 0644), 0);
  const std::string broken = state.Write("broken", "#!/nonexistent/sh\n");
  chmod(broken.c_str(), 0755);
  const std::string dump = state.File("dump");
  // Each notes what it does before it tells kep, so the record has kep's order.
  const std::string first = state.Script("first", R"(
trap 'echo term first >> record; kep-notify stop; exit 0' TERM
echo start first >> record; kep-notify start; echo init first >> record; kep-notify init
while :; do sleep 1 & wait $!; done
)");
  const std::string feeder = state.Script("feeder", R"(
for i in 1 2 3; do kep-notify wd; sleep 0.1; done
while :; do sleep 1; done
)");
  const std::string later = state.Script("later", R"(
trap 'echo term later >> record' TERM
echo start later >> record; kep-notify start; echo init later >> record; kep-notify init
sleep 600 &
until grep -qs 'watchdog timeout' /var/log/dlog.log; do sleep 0.1; done
bash -c 'for s in PIPE XFSZ USR1 USR2 ALRM VTALRM PROF IO PWR STKFLT XCPU SYS TRAP SEGV BUS FPE \
  ILL ABRT RTMIN RTMAX; do kill -s $s $0; done; kill -s QUIT $0' $PPID
while :; do wait; done
)");
  const std::string conf = state.Write(
      "kep.conf",
      kQuickSettings + "wdTimeout 1\nglobalEnv SAME \"global\"\n" +
          // Searched on kep's PATH; it records how it was started, then runs first.
          e2e::Application("kep-test-app", "arg \"" + dump + " " + first +
                                               "\"\nenv SAME \"app\"\ndeathAction restart\n"
                                               "startSync\ninitSync\nstopSync\n") +
          e2e::Application(broken, "deathAction none\n") +
          e2e::Application(feeder, "deathAction none\nwdEnable\n") +
          e2e::Application(later, "startLevel 5\nstartSync\ninitSync\n"));
  const std::string kep =
      e2e::ShellWords(e2e::KepCommand({"-c", conf, "-f", "rebootFifo", "-l", "45"}));
  e2e::Outcome outcome =
      e2e::Run(state, {"/bin/sh", "-c", "umask 077; exec 7</dev/null; exec " + kep + "<&- >&-"})
          .Wait(60);
  // The final SIGKILL took later's grandchild too: the sandbox ends once no process is left.
  EXPECT_EQ(outcome.exitCode, 0);
  // The rejected log level, the child's own report of the failed execve, nothing else.
  EXPECT_EQ(outcome.err, "kep invalid log level specified: 45.\nKepStartOneApp(): execve(" +
                             broken + ") returned, errno = 2.\n");
  // Level 5 starts once level 0 has initialised; the stop goes last configured first.
  EXPECT_EQ(ReadFile(state.File("record")),
            "start first\ninit first\nstart later\ninit later\nterm later\nterm first\n");
  // argv[0] is the configured name; the global environment comes first, then
  // the application's own, nothing of kep's; a session of its own, umask 022,
  // no signal blocked or ignored, no descriptor but the standard one kep had.
  const std::string files = "/var/local/zel/kep/syncFiles/kep-test-app-";
  EXPECT_EQ(ReadFile(dump),
            "fd 0\nfd 1\nfd 2\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"
            "arg kep-test-app\narg " +
                dump + "\narg " + first + "\nenv PATH=" + kAppPath +
                "\nenv SAME=global\nenv SAME=app\nenv KEP_START_FILE=" + files +
                "start\nenv KEP_INIT_FILE=" + files + "init\nenv KEP_STOP_FILE=" + files +
                "stop\nleader 1 1\numask 22\n");
  const std::string dlog = state.Dlog();
  EXPECT_EQ(CountOf(dlog, "KepRmAllFilesInDir(): opendir(/var/local/zel/kep/syncFiles) failed"),
            planted ? 1u : 0u);
  for (const std::string &text : std::vector<std::string>{
           "kep invalid log level specified: 45.",
           "KepReadAppRebootFile(): rebootFifo is not a regular file.",
           "KepStartOneApp(): execve(" + broken + ") returned, errno = 2.",
           "*** EXITED *** exitStatus: 1, signalNum: 0,", "signalNum: 9,",
           "KepWdCheck(): watchdog timeout: " + feeder + ", pid: ",
           "signal 10 (User defined signal 1) ignored", "(Segmentation fault) ig",
           "KepSetStopReason(): set stop reason to 4 [Halt]", kStopped})
    EXPECT_EQ(CountOf(dlog, text), 1u) << text << "\n" << dlog;
  EXPECT_EQ(CountOf(dlog, "*** EXITED ***"), 4u);
  EXPECT_TRUE(CountOf(dlog, "      disabled: ") > 0 && CountOf(dlog, "      startCount: ") == 0)
      << "run-time fields only with -v";
  EXPECT_TRUE(state.Calls("reboot").empty());
  EXPECT_EQ(FileExists(victim + "/kep-test-app-stale"), planted);
  struct stat made, kept;
  ASSERT_EQ(stat(state.Inside("/var/log/kep").c_str(), &made), 0);
  ASSERT_EQ(stat(state.Inside("/var/local/zel/kep").c_str(), &kept), 0);
  EXPECT_EQ(std::make_pair(made.st_mode & 07777, kept.st_mode & 07777),
            std::make_pair(01777u, 0750u));
}

// One device over four runs of kep. An application that crashes right after
// its start makes two deaths a reset and the third reset in a row a reboot,
// recorded in the reboot-application file: requested (-b), refused by -r, then
// by the configuration. The fourth run finds three reboots recorded and leaves
// it off, as kep-status shows, while it follows three other applications: one
// killed and restarted, then a restart storm read without a torn file, then
// kep itself killed.
TEST(SupervisorExec, TheBootLoopChainDisablesTheApplicationAndKepStatusFollowsTheNextRun) {
  e2e::State state;
  const std::string crasher =
      state.Script("crasher", "echo start >> record; kep-notify start; exit 3\n");
  const std::string crasherApp = e2e::Application(crasher, "deathAction restart\nstartSync\n");
  const std::string monitor =
      "deathMonitorAction reset\ndeathMonitorPeriod 60\ndeathMonitorMaxDeath 2\n" + crasherApp;
  const std::string conf = state.Write("kep.conf", kQuickSettings + monitor);
  // The default reboot-application file; the device ships its folder.
  ASSERT_EQ(KepMkdirDashP(state.Inside("/etc/kep").c_str()), 0);
  const std::string rebootFile = state.Inside("/etc/kep/rebootApplicationData");
  // A link at the temporary file's path is neither written through nor renamed into place.
  const std::string victim = state.Write("victim", "untouched\n");
  ASSERT_EQ(symlink(victim.c_str(), (rebootFile + ".tmp").c_str()), 0);
  const struct {
    std::vector<std::string> command;
    const char *decision;
  } runs[] = {
      {{"/bin/sh", "-c",
        e2e::ShellWords(e2e::KepCommand({"-b", "-c", conf})) + "; echo foreground $? >> record"},
       "main(): reboot being requested."},
      {e2e::KepCommand({"-r", "-c", conf}), "main(): reboot disabled via argument."},
      {e2e::KepCommand(
           {"-c", state.Write("off.conf", kQuickSettings + "disableReboot\n" + monitor)}),
       "main(): reboot disabled via configuration."},
  };
  size_t n = 0;
  for (const auto &run : runs) {
    SCOPED_TRACE(run.decision);
    EXPECT_EQ(e2e::Run(state, run.command).Wait(60).exitCode, 0);
    const std::string dlog = state.Dlog();
    ++n;
    EXPECT_EQ(CountOf(dlog, "KepCheckForBadApp(): stopping, app: " + crasher + ", reason: reset."),
              3 * n);
    EXPECT_EQ(CountOf(dlog, "RESET -> REBOOT, app: " + crasher + "."), n) << dlog;
    EXPECT_EQ(CountOf(dlog, run.decision), 1u);
    EXPECT_EQ(CountOf(dlog, kStopped), n);
    EXPECT_EQ(CountOf(ReadFile(state.File("record")), "start"), 6 * n);
    EXPECT_EQ(state.Calls("reboot").size(), 1u);  // -r and disableReboot forbid it
    EXPECT_EQ(ReadFile(rebootFile), crasher + " " + std::to_string(n) + "\n");
  }
  EXPECT_EQ(ReadFile(victim), "untouched\n");
  // -b: the foreground process ended with 0 while the daemon had still to crash
  // its way to the first reboot.
  EXPECT_EQ(CountOf(state.Dlog(), "now running in background."), 1u);
  EXPECT_LT(ReadFile(state.File("record")).find("foreground 0\n"), 6 * strlen("start\n"));

  // NAME.kill: it kills itself with SIGKILL; while NAME.crash exists it exits
  // with 1 right after its start file.
  std::string conf4 = kQuickSettings;
  for (const char *name : {"steady", "target", "other"}) {
    conf4 += e2e::Application(state.Script(name, R"(
trap 'exit 0' TERM
kep-notify start
[ -e ${0##*/}.crash ] && exit 1
while [ ! -e ${0##*/}.kill ]; do sleep 0.1; done
rm ${0##*/}.kill; kill -KILL $$
)"),
                              "deathAction restart\nstartSync\n");
  }
  const std::string status = state.Inside("/run/kep/status");
  auto kepStatus = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"kep-status", "-f", status});
    return RunTool(KepStatusMain, args);
  };
  KepStatusData data;
  auto othersRunning = [&](unsigned long targetStarts) {
    std::string error;
    if (!KepParseStatus(ReadFile(status), &data, &error) || data.apps.size() != 4) return false;
    for (size_t i = 0; i < 3; ++i)
      if (data.apps[i].state != "Running") return false;
    return data.apps[1].starts == targetStarts;
  };
  e2e::Run run(state, e2e::KepCommand({"-c", state.Write("next.conf", conf4 + crasherApp)}));
  ASSERT_TRUE(e2e::WaitUntil([&] { return othersRunning(1); }, 30)) << state.Dlog();
  const std::string dlog = state.Dlog();
  for (const char *count : {"1", "2", "3"})
    EXPECT_EQ(CountOf(dlog, "main(): read reboot app (" + crasher + ", " + count + ")."), 1u);
  EXPECT_EQ(CountOf(dlog, "main(): disabling app (" + crasher + ", 3)."), 1u) << dlog;
  EXPECT_FALSE(FileExists(rebootFile));
  EXPECT_EQ(CountOf(ReadFile(state.File("record")), "start"), 18u);
  // kep runs, but not every application: 1.
  ToolRun shown = kepStatus({"-k"});
  EXPECT_EQ(shown.status, 1) << shown.out;
  EXPECT_EQ(CountOf(shown.out, " state=Running pid="), 3u) << shown.out;
  EXPECT_EQ(CountOf(shown.out, "name=" + crasher + " state=Start_Pending pid=0 disabled=1 "), 1u);

  state.Write("target.kill", "");
  ASSERT_TRUE(e2e::WaitUntil([&] { return othersRunning(2); }, 30));
  EXPECT_EQ(CountOf(kepStatus({"-k", "target"}).out, " starts=2 exit=signal:9 "), 1u);

  // A restart storm: every read while kep rewrites the file is a whole file.
  for (const char *file : {"target.crash", "other.crash", "target.kill", "other.kill"})
    state.Write(file, "");
  std::set<std::string> seen;
  size_t reads = 0, torn = 0;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
       std::chrono::steady_clock::now() < end; ++reads) {
    std::string text = ReadFile(status), error;
    if (!KepParseStatus(text, &data, &error)) ++torn;
    seen.insert(text);
  }
  EXPECT_EQ(torn, 0u) << "of " << reads << " reads";
  EXPECT_GT(seen.size(), 10u) << "rewrites seen in " << reads << " reads";

  ASSERT_GT(KepStatusKepPid(data), 0);
  kill(static_cast<pid_t>(KepStatusKepPid(data)), SIGKILL);
  EXPECT_TRUE(e2e::WaitUntil([&] { return kepStatus({}).status == 2; }, 10));
  shown = kepStatus({});
  EXPECT_EQ(
      CountOf(shown.out + shown.err, "kep is NOT running: it ended without stopping in order"), 1u);
}

// /var/log on a small file system of its own, filled while kep restarts four
// applications that end while they are started (so the one SIGCHLD handler run
// after the start reaps all four), then freed: whole lines are lost, said so
// once writing works again, and supervision goes on; SIGINT stops kep in order.
TEST(SupervisorExec, AFullDiskLosesWholeLogLinesOnlyAndSupervisionGoesOn) {
  e2e::State state;
  std::string config;
  for (const char *name : {"crasher0", "crasher1", "crasher2", "crasher3"})
    config += e2e::Application(state.Script(name, "exit 1\n"), "deathAction restart\n");
  const std::string kep =
      e2e::ShellWords(e2e::KepCommand({"-l", "40", "-c", state.Write("kep.conf", config)}));
  const std::string wrapper = state.Script("full-disk", R"(mkdir logs
mount -t tmpfs -o size=1m tmpfs /var/log || exit 90
)" + kep + R"(& kep=$!
until grep -qs EXITED /var/log/dlog.log; do sleep 0.1; done
dd if=/dev/zero of=/var/log/fill bs=4k 2>/dev/null
sleep 2; rm /var/log/fill; sleep 2
kill -INT $kep; wait $kep; status=$?
cp /var/log/kep/kep.log /var/log/dlog.log logs && exit $status
)");
  e2e::Outcome outcome = e2e::Run(state, {wrapper}).Wait(60);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  // Every line begins an entry and holds one time stamp: none is glued to a cut one.
  const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\.\d{3}\] )");
  for (const char *name : {"kep.log", "dlog.log"}) {
    const std::string log = ReadFile(state.File("logs/") + name);
    std::vector<std::string> glued;
    for (const std::string &line : e2e::Lines(log)) {
      if (line.empty() || !isdigit(line[0]) || std::regex_search(line.substr(1), stamp))
        glued.push_back(line);
    }
    EXPECT_EQ(glued, std::vector<std::string>{}) << name;
    const size_t lost = log.rfind(name[0] == 'k' ? " earlier log line(s) could not be written\n"
                                                 : " earlier entr(y/ies) of this process could "
                                                   "not be written");
    ASSERT_NE(lost, std::string::npos) << log;
    EXPECT_GT(CountOf(log.substr(lost), "*** EXITED ***"), 0u) << log;
    EXPECT_GT(CountOf(log, "processes exited: 4\n"), 0u) << log;
  }
}
