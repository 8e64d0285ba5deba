// Applications that run as users of their own, with their own limits, in a
// sandbox that maps the ids 0 to 65535 (root's sandbox only): what each was
// started with, read by the application itself, and the starts that fail
// before the application runs at all.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "e2e_support.h"
#include "report.h"

// In a network namespace of its own, so that port 80 is the sandbox's to
// give: owner runs as kepuser with everything configured, keeps only
// cap_net_bind_service (and binds port 80), creates, renames and feeds its
// synchronisation files in the sticky syncFiles folder, which kep reads and,
// at its next start, empties; grouped runs as uid 1000 in another group,
// without capabilities (binding port 80 is refused). An unknown user is a
// start failure; a limit that cannot be set and a working folder that is
// missing end the child before execve, logged, and the death action follows
// (none, restart). kep-status shows the users.
TEST(PrivilegesExec, ApplicationsRunAsTheirUsersWithTheirLimitsOrNotAtAll) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: only root's sandbox maps users other than root";
  e2e::State state;
  chmod(state.Path().c_str(), 0755);  // the applications' users find their programs there
  mkdir(state.File("etc").c_str(), 0755);
  state.Write("etc/passwd", "root:x:0:0::/root:/bin/sh\nkepuser:x:1000:1000::/:/bin/sh\n");
  state.Write("etc/group",
              "root:x:0:\nkepuser:x:1000:\nextra:x:2000:root,kepuser\nother:x:3000:\n");
  const std::string work = state.File("work");
  ASSERT_TRUE(mkdir(work.c_str(), 0755) == 0 && chown(work.c_str(), 1000, 1000) == 0);
  for (const char *name : {"owner", "grouped", "unknown", "unlimited", "nowhere"})
    ASSERT_EQ(symlink(KEP_TEST_APP, state.File(name).c_str()), 0);
  const std::string feeder = state.Script("feeder", R"(trap 'exit 0' TERM
kep-notify start; kep-notify init
while :; do kep-notify wd; sleep 0.2; done
)");
  const std::string path = KEP_BINARY_DIR ":/usr/bin:/bin";
  const std::string conf = state.Write(
      "kep.conf",
      "killDelay 2\nkillRetries 0\nstopSyncTime 1\nwdTimeout 1\nglobalEnv PATH \"" + path + "\"\n" +
          e2e::Application(
              state.File("owner"),
              "arg \"-p " + work + "/owner " + feeder + "\"\nuser kepuser\numask 027\nworkDir " +
                  work +
                  "\nlimit nofile 100 200\nlimit core 0\nnice 5\nnoNewPrivileges\n"
                  "capabilities \"cap_net_bind_service\"\nstartSync\ninitSync\nwdEnable\n"
                  "deathAction none\n") +
          e2e::Application(
              state.File("grouped"),
              "arg \"-p " + work + "/grouped\"\nuser 1000\ngroup other\ndeathAction none\n") +
          e2e::Application(state.File("unknown"),
                           "arg \"-p " + work + "/unknown\"\nuser nosuchuser\n") +
          e2e::Application(state.File("unlimited"),
                           "arg \"-p " + work +
                               "/unlimited\"\nstartLevel 5\n"
                               "limit nofile unlimited\ndeathAction none\n") +
          e2e::Application(state.File("nowhere"),
                           "arg \"-p " + work +
                               "/nowhere\"\nstartLevel 5\nuser kepuser\n"
                               "workDir /nonexistent\ndeathAction restart\n"));
  const std::string run = state.Script(
      "scenario", "unshare -n " + e2e::ShellWords(e2e::KepCommand({"-c", conf, "-l", "40"})) +
                      R"(& kep=$!
until grep -qs '^kep .* state=Running' /run/kep/status; do sleep 0.1; done
sleep 3; ls -n /var/local/zel/kep/syncFiles > files
kill -TERM $kep; wait $kep; echo "kep $?" >> record
)");
  e2e::Outcome outcome = e2e::Run(state, {"/bin/sh", run}).Wait(60);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_EQ(ReadFile(state.File("record")), "kep 0\n");
  const std::string files = "/var/local/zel/kep/syncFiles/owner-";
  EXPECT_EQ(ReadFile(work + "/owner"),
            "fd 0\nfd 1\nfd 2\nUid:\t1000\t1000\t1000\t1000\nGid:\t1000\t1000\t1000\t1000\n"
            "Groups:\t1000 2000 \nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"
            "CapEff:\t0000000000000400\nCapAmb:\t0000000000000400\nNoNewPrivs:\t1\narg " +
                state.File("owner") + "\narg -p\narg " + work + "/owner\narg " + feeder +
                "\nenv PATH=" + path + "\nenv KEP_START_FILE=" + files +
                "start\nenv KEP_INIT_FILE=" + files + "init\nenv KEP_WD_FILE=" + files +
                "wd\nleader 1 1\numask 27\nlimit nofile 100 200\nlimit core 0 0\nnice 5\ncwd " +
                work + "\nbind 80: done\n");
  const std::string grouped = ReadFile(work + "/grouped");
  for (const std::string &line : std::vector<std::string>{
           "Uid:\t1000\t1000\t1000\t1000\n", "Gid:\t3000\t3000\t3000\t3000\n",
           "Groups:\t2000 3000 \n", "CapEff:\t0000000000000000\n", "NoNewPrivs:\t0\n", "umask 22\n",
           "nice 0\n", "cwd " + state.Path() + "\n", "bind 80: Permission denied\n"})
    EXPECT_EQ(CountOf(grouped, line), 1u) << line << grouped;
  for (const char *never : {"unknown", "unlimited", "nowhere"})
    EXPECT_FALSE(FileExists(work + "/" + never)) << never;
  // The files that owner made are its own: it could create and rename them.
  size_t made = 0;
  for (const std::string &line : e2e::Lines(ReadFile(state.File("files")))) {
    if (line.find(" owner-") == std::string::npos) continue;
    EXPECT_NE(line.find(" 1000 1000 "), std::string::npos) << line;
    ++made;
  }
  EXPECT_GE(made, 3u);
  const std::string log = ReadFile(state.Inside("/var/log/kep/kep.log"));
  const std::string unknown = "cannot start " + state.File("unknown") + "[2]: user nosuchuser is";
  for (const std::string &text : std::vector<std::string>{
           unknown, "KepStartOneApp(): setrlimit(nofile, unlimited, unlimited) failed, errno = 1."})
    EXPECT_EQ(CountOf(log, text), 1u) << text << "\n" << log;
  // Restarted, failing before execve each time.
  EXPECT_GE(CountOf(log, "KepStartOneApp(): chdir(/nonexistent) failed, errno = 2."), 2u) << log;
  for (const char *never : {"watchdog timeout", "KepWaitForSyncFile("})
    EXPECT_EQ(CountOf(log, never), 0u) << never << "\n" << log;

  const ToolRun shown =
      RunTool(KepStatusMain, {"kep-status", "-k", "-f", state.Inside("/run/kep/status")});
  for (const char *key : {" user=kepuser\n", " user=1000\n", " user=nosuchuser\n", " user=\n"})
    EXPECT_GE(CountOf(shown.out, key), 1u) << key << shown.out;
  EXPECT_EQ(CountOf(shown.out, "name=" + state.File("unknown") + " state=Start_Failed "), 1u);
  // The next start empties the folder: another user's files are no obstacle.
  e2e::Run(state, e2e::KepCommand({"-c", state.File("missing.conf")})).Wait(30);
  EXPECT_FALSE(FileExists(state.Inside(files + "wd")));
}
