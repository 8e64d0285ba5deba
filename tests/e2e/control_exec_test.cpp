// kep-ctl against the real kep: an application stopped and held, started and
// restarted again, signalled; the refusals; a SIGTERM to kep in the middle of
// a stop. The scripts run in the state folder.
#include <unistd.h>

#include <string>

#include "e2e_support.h"

namespace {

const std::string kSettings =
    "killDelay 2\nkillRetries 0\nstopSyncTime 5\nstartSyncTime 3\n"
    "globalEnv PATH \"" +
    std::string(KEP_BINARY_DIR) + ":/usr/bin:/bin\"\n";

// Each kep-ctl run as "ARGS -> STATUS" in the record, its output in ctl.out.
const std::string kCtl = "PATH=" + std::string(KEP_BINARY_DIR) + ":$PATH\n" +
                         R"sh(ctl() { kep-ctl "$@" >> ctl.out 2>&1; echo "$* -> $?" >> record; }
running() { until grep -qs "^kep pid=$1 .*state=Running" /run/kep/status; do sleep 0.1; done; }
)sh";

}  // namespace

// While kep still starts (slow's start wait, before level 1), no command; then svc (death action
// reboot, a stop file) and resetter (reset) are stopped and held: nothing is restarted, reset or
// rebooted. svc is started and restarted (a new process each time) and signalled; an unknown name
// is refused, and so is a user other than root.
TEST(ControlExec, StopHoldsStartAndRestartBringBackAndOnlyRootIsHeard) {
  e2e::State state;
  const std::string svc = state.Script("svc", R"sh(trap 'echo usr1 >> usr1' USR1
trap 'kep-notify stop; exit 0' TERM
echo $$ >> svc.pids
while :; do sleep 0.1; done
)sh");
  const std::string conf = state.Write(
      "kep.conf", kSettings +
                      e2e::Application(state.Script("slow", "exec sleep 600\n"),
                                       "deathAction none\nstartSync\n") +
                      e2e::Application(svc, "deathAction reboot\nstopSync\nstartLevel 1\n") +
                      e2e::Application(state.Script("resetter", "exec sleep 600\n"),
                                       "deathAction reset\nstartLevel 1\n"));
  const std::string run = state.Script("scenario", kCtl + e2e::KepLine(conf) + R"sh(& kep=$!
until grep -qs ' wait=start ' /run/kep/status; do sleep 0.05; done
ctl stop svc
running $kep
ctl stop svc
ctl stop resetter
sleep 2
grep -q "name=$PWD/svc state=Held .* held=[1-9]" /run/kep/status && echo "svc held" >> record
kep-status svc > status.txt
ctl stop svc
ctl start svc
exitAt() { sed -n "s|.*name=$PWD/svc .* exitAt=\([0-9.]*\) .*|\1|p" /run/kep/status; }
before=$(exitAt)
ctl restart svc
sleep 0.6; [ "$(exitAt)" != "$before" ] && echo "restart booked its exit" >> record
ctl signal USR1 svc
ctl stop nosuch
if setpriv --reuid 1000 --regid 1000 --clear-groups true 2> /dev/null; then
  setpriv --reuid 1000 --regid 1000 --clear-groups kep-ctl stop svc >> ctl.out 2>&1
  echo "user -> $?" >> record
fi
sleep 0.5
kill -TERM $kep; wait $kep; echo "kep $?" >> record
)sh");
  e2e::Outcome outcome = e2e::Run(state, {"/bin/sh", run}).Wait(90);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  const bool otherUsers = geteuid() == 0;  // the sandbox maps them for root only
  EXPECT_EQ(ReadFile(state.File("record")),
            "stop svc -> 1\nstop svc -> 0\nstop resetter -> 0\nsvc held\nstop svc -> 1\n"
            "start svc -> 0\nrestart svc -> 0\nrestart booked its exit\nsignal USR1 svc -> 0\nstop "
            "nosuch -> 1\n" +
                std::string(otherUsers ? "user -> 1\n" : "") + "kep 0\n");
  const std::string ctl = ReadFile(state.File("ctl.out"));
  const struct {
    std::string said;
    size_t times;
  } said[] = {
      {svc + " stopped (exit status 0) and held\n", 1},
      {svc + " started, pid ", 2},
      {", start 3\n", 1},
      {"sent SIGUSR1 to " + svc, 1},
  };
  for (const auto &s : said) EXPECT_EQ(CountOf(ctl, s.said), s.times) << s.said << "\n" << ctl;
  EXPECT_EQ(CountOf(ctl, "kep-ctl: refused: only root may control kep\n"), otherUsers ? 1u : 0u);
  EXPECT_EQ(e2e::Lines(ReadFile(state.File("svc.pids"))).size(), 3u);
  EXPECT_EQ(ReadFile(state.File("usr1")), "usr1\n");
  EXPECT_NE(ReadFile(state.File("status.txt")).find("stopped by kep-ctl"), std::string::npos);
  const std::string log = ReadFile(state.Inside("/var/log/kep/kep.log"));
  EXPECT_EQ(CountOf(log, "KepControl(): uid 0 (pid "), 8u) << log;
  EXPECT_EQ(CountOf(log, "refused a connection from uid 1000"), otherUsers ? 1u : 0u);
  EXPECT_EQ(CountOf(log, "set stop reason to "), 1u) << "only the SIGTERM's Halt";
  EXPECT_EQ(CountOf(log, ") for " + svc + " failed"), 0u) << "svc wrote its stop file each time";
  EXPECT_TRUE(state.Calls("reboot").empty());
}

// SIGTERM to kep while kep-ctl waits for the stop of an application that
// ignores SIGTERM: kep-ctl is told that everything is being stopped, and kep
// stops everything in order (the stubborn one with SIGKILL) and exits.
TEST(ControlExec, ASigtermDuringAStopEndsInTheOrderedStopOfAll) {
  e2e::State state;
  const std::string conf = state.Write(
      "kep.conf",
      kSettings +
          e2e::Application(state.Script("other", "exec sleep 600\n"), "deathAction restart\n") +
          e2e::Application(state.Script("stubborn", "trap '' TERM\nexec sleep 600\n"),
                           "deathAction restart\n"));
  const std::string run = state.Script("scenario", kCtl + e2e::KepLine(conf) + R"sh(& kep=$!
running $kep
ctl stop stubborn & sleep 1
kill -TERM $kep; wait $kep; echo "kep $?" >> record
wait
)sh");
  e2e::Outcome outcome = e2e::Run(state, {"/bin/sh", run}).Wait(60);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(ReadFile(state.File("record")), "stop stubborn -> 1\nkep 0\n");
  EXPECT_EQ(ReadFile(state.File("ctl.out")), "kep-ctl: failed: kep is stopping all applications\n");
  const std::string log = ReadFile(state.Inside("/var/log/kep/kep.log"));
  EXPECT_EQ(CountOf(log, "set stop reason to 4 [Halt]"), 1u) << log;
  EXPECT_EQ(CountOf(log, "SIGKILL) for " + state.File("stubborn")), 1u) << log;
  EXPECT_EQ(CountOf(log, "SIGTERM) for " + state.File("other")), 1u) << log;
}
