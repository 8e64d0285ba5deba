// kep itself on a bad day of a device: its logs locked or taken away, its
// standard descriptors closed or full, its signals blocked by its parent, a
// second kep beside it, a kep killed and started again. The scripts run in the
// state folder.
#include <string>

#include "e2e_support.h"

namespace {

const std::string kSettings = "killDelay 2\nkillRetries 0\nstopSyncTime 1\nglobalEnv PATH \"" +
                              std::string(KEP_BINARY_DIR) + ":/usr/bin:/bin\"\n";

}  // namespace

// kep started with its stop signals blocked, standard input and output closed
// and standard error a pipe that nobody reads, which an application fills;
// another process holds the debug log's lock for good, and kep.log is removed
// while kep runs. An application that cannot be executed is restarted again
// and again, its report logged each time; the next application gets
// descriptors 0 to 2; kep.log comes back; SIGTERM stops everything, the
// filler's blocked helper too.
TEST(WeakPointsExec, LockedLogsFullOrClosedDescriptorsAndBlockedSignalsLeaveKepAwake) {
  e2e::State state;
  const std::string broken = state.Write("broken", "#!/nonexistent/sh\n");
  chmod(broken.c_str(), 0755);
  const std::string noisy = state.Script("noisy", "head -c 70000 /dev/zero >&2\nexec sleep 600\n");
  const std::string conf = state.Write(
      "kep.conf", kSettings + e2e::Application(noisy, "deathAction none\n") +
                      e2e::Application("kep-test-app", "arg \"" + state.File("dump") + "\"\n") +
                      e2e::Application(broken, "startLevel 1\ndeathAction restart\n"));
  const std::string run = state.Script("scenario", R"sh(mkfifo full; broken=$1
exec 8>>/var/log/dlog.log && flock -x 8 || exit 91
env --block-signal=TERM,INT,HUP,QUIT )sh" + e2e::KepLine(conf) +
                                                       R"sh(<&- >&- 2<>full 8>&- & kep=$!
starts() { grep -c "successfully started $broken" /var/log/kep/kep.log; }
until [ "$(starts 2>/dev/null)" -ge 2 ]; do sleep 0.1; done
rm /var/log/kep/kep.log
sleep 5
kill -TERM $kep; wait $kep; echo "kep $?" >> record
)sh");
  e2e::Outcome outcome = e2e::Run(state, {"/bin/sh", run, broken}).Wait(60);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(ReadFile(state.File("record")), "kep 0\n");
  EXPECT_EQ(ReadFile(state.File("dump")).substr(0, 15), "fd 0\nfd 1\nfd 2\n");
  const std::string dlog = state.Dlog(), log = ReadFile(state.Inside("/var/log/kep/kep.log"));
  const std::string report = "KepStartOneApp(): execve(" + broken + ") returned, errno = ";
  EXPECT_GE(CountOf(dlog, report + "2."), 4u) << dlog;
  EXPECT_EQ(CountOf(dlog, report), CountOf(dlog, report + "2."));
  EXPECT_EQ(CountOf(log, "set stop reason to 4 [Halt]"), 1u) << log;
  EXPECT_EQ(CountOf(dlog, "left in the group"), 1u) << dlog;
  EXPECT_EQ(CountOf(dlog, "of " + noisy + ": SIGTERM."), 1u);
}

// One kep runs; a second one refuses to start and touches nothing of the
// first; the first is killed, and the next one stops what it left running (its
// helpers too) before it starts anything, so that nothing runs twice, nor after
// a reset, nor after the end. syncFiles is the device's (root's) link to a RAM
// folder.
TEST(WeakPointsExec, NoApplicationRunsTwiceBesideASecondKepOrAfterAKilledOne) {
  e2e::State state;
  const std::string wrapper = state.Script("wrapper", R"sh(trap 'kep-notify stop; exit 0' TERM
sleep 600 &
echo $$ > wrapper.pid
kep-notify start
wait
)sh");
  const std::string conf = state.Write(
      "kep.conf",
      kSettings + "wdTimeout 2\n" +
          e2e::Application(wrapper, "deathAction reset\nstartSync\nstopSync\n") +
          e2e::Application(state.Script("feeder", "while :; do kep-notify wd; sleep 0.2; done\n"),
                           "deathAction restart\nwdEnable\n"));
  const std::string run = state.Script("scenario", R"sh(mkdir -p /run/ram /var/local/zel/kep
ln -s /run/ram /var/local/zel/kep/syncFiles && echo stale > /run/ram/stale
running() { until grep -qs "^kep pid=$1 .*state=Running" /run/kep/status; do sleep 0.1; done; }
helpers() { sleep 1; echo "helpers $(pgrep -fc 'sleep 600')" >> record; }
)sh" + e2e::KepLine(conf) + R"sh(& first=$!
running $first
: > /run/ram/keep-me && cp /run/kep/status status.before
)sh" + e2e::KepLine(conf) + R"sh( 2> second.err; echo "second $?" >> record
[ -e /run/ram/keep-me ] && cmp -s status.before /run/kep/status && echo untouched >> record
[ -e /run/ram/stale ] || echo "stale gone" >> record
kill -KILL $first
)sh" + e2e::KepLine(conf) + R"sh(& third=$!
running $third
helpers
old=$(cat wrapper.pid); kill -KILL $old
until [ "$(cat wrapper.pid)" != $old ]; do sleep 0.1; done
running $third
helpers
kill -TERM $third; wait $third; echo "third $?" >> record
helpers
)sh");
  e2e::Outcome outcome = e2e::Run(state, {"/bin/sh", run}).Wait(90);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(ReadFile(state.File("record")),
            "second 3\nuntouched\nstale gone\nhelpers 1\nhelpers 1\nthird 0\nhelpers 0\n");
  EXPECT_EQ(ReadFile(state.File("second.err")).rfind("kep already running (pid ", 0), 0u);
  const std::string log = ReadFile(state.Inside("/var/log/kep/kep.log"));
  EXPECT_EQ(CountOf(log, "was left running by kep (pid "), 2u) << log;
  EXPECT_EQ(CountOf(log, "has ended."), 2u);
  // Left by the killed kep, after the reset, at the end.
  EXPECT_EQ(CountOf(log, "of " + wrapper + ": SIGTERM."), 3u) << log;
  EXPECT_EQ(CountOf(log, "watchdog timeout"), 0u);
  EXPECT_EQ(CountOf(log, "kep already running (pid "), 1u);
}
