// kep-status against a real kep in the sandbox: every application Running, a
// killed one restarted, a restart storm read without a torn file, a SIGKILLed
// kep, and an application disabled by the boot-loop rule.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>

#include <set>
#include <string>

#include "e2e_support.h"
#include "kep_main.h"
#include "view.h"

namespace {

ToolRun RunKepStatus(const std::string &args) {
  ToolRun run{-1, "", ""};
  FILE *pipe = popen((KEP_STATUS " " + args + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

TEST(StatusExec, FollowsRestartsAStormAKilledKepAndTheBootLoopRule) {
  e2e::State state;
  const std::string status = state.Inside("/var/local/zel/kep/status");
  // NAME.kill: it kills itself with SIGKILL; while NAME.crash exists it exits
  // with 1 right after its start file.
  auto app = [&](const std::string &name) {
    const std::string path = state.File(name);
    return state.Script(name, "trap 'exit 0' TERM\n" KEP_NOTIFY " start\n[ -e " + path +
                                  ".crash ] && exit 1\nwhile [ ! -e " + path +
                                  ".kill ]; do sleep 0.1; done\nrm " + path +
                                  ".kill\nkill -KILL $$\n");
  };
  const std::string victim = app("victim"), other = app("other");
  std::string conf = "startSyncTime 3\nglobalEnv PATH \"/usr/bin:/bin\"\n";
  for (const std::string &path : {app("steady"), victim, other})
    conf += "application " + path + " {\n deathAction restart\n startSync\n}\n";
  conf = state.Write("kep.conf", conf);
  KepStatusData data;
  auto shows = [&](const std::function<bool()> &condition) {
    std::string error;
    return KepParseStatus(ReadFile(status), &data, &error) && condition();
  };
  auto allRunning = [&] {
    for (const KepStatusApp &a : data.apps)
      if (a.state != "Running") return false;
    return data.apps.size() == 3;
  };
  const std::string tool = "-f " + status;

  e2e::Run run(state, e2e::KepCommand({"-c", conf}));
  ASSERT_TRUE(e2e::WaitUntil([&] { return shows(allRunning); }, 30)) << state.Dlog();
  ToolRun shown = RunKepStatus("-k " + tool);
  EXPECT_EQ(shown.status, 0) << shown.out;
  for (const KepStatusApp &a : data.apps)
    EXPECT_EQ(e2e::CountOf(shown.out, a.name + " state=Running pid=" + std::to_string(a.pid) + " "),
              1u)
        << shown.out;

  state.Write("victim.kill", "");
  ASSERT_TRUE(e2e::WaitUntil([&] { return shows(allRunning) && data.apps[1].starts == 2; }, 30));
  shown = RunKepStatus(tool + " victim");
  EXPECT_EQ(shown.status, 0) << shown.out;
  EXPECT_EQ(e2e::CountOf(shown.out, " signal 9 KILL, "), 1u) << shown.out;
  EXPECT_EQ(e2e::CountOf(RunKepStatus("-k " + tool + " victim").out, " starts=2 exit=signal:9 "),
            1u);

  // A restart storm: every read while kep rewrites the file is a whole file.
  for (const char *name : {"victim", "other"}) {
    state.Write(std::string(name) + ".crash", "");
    state.Write(std::string(name) + ".kill", "");
  }
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
  EXPECT_TRUE(e2e::WaitUntil([&] { return RunKepStatus(tool).status == 2; }, 10));
  EXPECT_NE(RunKepStatus(tool).out.find("kep is NOT running: it ended without stopping in order"),
            std::string::npos);
  run.Wait(0);  // ends the sandbox and what kep left in it

  // The third recorded reboot caused by victim: the next start leaves it off.
  ASSERT_EQ(KepMkdirDashP(state.Inside("/etc/kep").c_str()), 0);
  state.Write("etc/kep/rebootApplicationData", victim + " 3\n");
  unlink(state.File("other.crash").c_str());
  e2e::Run again(state, e2e::KepCommand({"-c", conf}));
  ASSERT_TRUE(e2e::WaitUntil(
      [&] { return shows([&] { return data.state == "Running" && data.apps[1].disabled; }); }, 30));
  shown = RunKepStatus(tool);
  EXPECT_EQ(shown.status, 1) << shown.out;
  EXPECT_EQ(e2e::CountOf(shown.out, " disabled\n"), 1u) << shown.out;
  EXPECT_EQ(e2e::CountOf(RunKepStatus("-k " + tool).out,
                         "name=" + victim + " state=Start_Pending pid=0 disabled=1 "),
            1u);
}
