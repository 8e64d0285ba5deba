// Helpers of the tests that run kep-test-app as a real child process.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kep_config.h"
#include "kep_test.h"

namespace apps_exec {

// Waits up to ten seconds for path to exist; a bound, not a timing assertion.
inline bool WaitForFile(const std::string &path) {
  for (int i = 0; i < 1000; ++i) {
    if (FileExists(path)) return true;
    usleep(10000);
  }
  return false;
}

// Blocks until the child has ended, leaving it unreaped (a zombie).
inline bool WaitUntilEnded(pid_t pid) {
  siginfo_t info;
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0;
}

// Reaps the child; its raw wait status, or -1 when it is not a child of ours
// or has not ended within ten seconds (it is then killed, so no test hangs).
inline int Reap(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid) return status;
    if (result < 0) return -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Kills and reaps whatever is left of the given children; a pid that is no
// longer a child of ours is never signalled.
inline void KillAndReap(const std::vector<pid_t> &pids) {
  for (pid_t pid : pids) {
    if (pid <= 1 || waitpid(pid, nullptr, WNOHANG) != 0) continue;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// Children of this process that have ended and were never reaped.
inline std::vector<pid_t> ZombieChildren() {
  std::vector<pid_t> zombies;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return zombies;
  while (struct dirent *entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid <= 0) continue;
    std::string stat = ReadFile("/proc/" + std::string(entry->d_name) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) continue;
    char state = stat[close + 2];
    pid_t parent = atoi(stat.c_str() + close + 4);
    if (state == 'Z' && parent == getpid()) zombies.push_back(pid);
  }
  closedir(proc);
  return zombies;
}

// kep-test-app's --dump file: every value of each key, in order.
inline std::map<std::string, std::vector<std::string>> ReadDump(const std::string &path) {
  std::map<std::string, std::vector<std::string>> dump;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    dump[line.substr(0, space)].push_back(line.substr(space + 1));
  }
  return dump;
}

// A record for the test program, as the reader would leave it before a start.
inline KepApp TestApp(const std::vector<std::string> &args) {
  KepApp app;
  app.name = KEP_TEST_APP;
  app.state = KEP_APP_STATE_START_PENDING;
  app.argList.assign(args.begin(), args.end());
  return app;
}

// Every test of a real child starts from a clean model and a private
// synchronisation directory, and ends with no child left and no zombie.
class ExecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    DefaultSigchld();
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = sync_.Path().c_str();
  }
  void TearDown() override {
    std::vector<pid_t> pids;
    for (const KepApp &app : KepGetAppList()) pids.push_back(app.pid);
    KillAndReap(pids);
    DefaultSigchld();
    kepSyncFilesDir = savedSyncDir_;
    ResetModel();
    EXPECT_EQ(ZombieChildren(), std::vector<pid_t>{});
  }

  // No handler reaps behind the test's back, and SIGCHLD is not blocked.
  static void DefaultSigchld() {
    signal(SIGCHLD, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
  }

  KepApp &Add(KepApp app) {
    app.index = static_cast<uint32_t>(KepGetAppList().size());
    KepGetAppList().push_back(std::move(app));
    return KepGetAppList().back();
  }

  TempDir sync_;
  TempDir work_;
  const char *savedSyncDir_ = nullptr;
};

}  // namespace apps_exec
