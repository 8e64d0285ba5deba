// The support library against real files: synchronisation files, watchdog
// files, the boot clock, the application calls and kep-notify.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ZelKepLib.h"
#include "kep_test.h"

namespace {

constexpr pid_t kPid = 4242;

TEST(KepSyncFile, IsDoneOnlyForExactlyTheLineOfThisPid) {
  const std::pair<std::string, int> cases[] = {
      {"kep-sync pid=4242\n", 0},
      {"kep-sync pid=4243\n", 4},
      {"kep-sync pid=42\n", 4},
      {"", 3},
      {"kep-sync pid=4242", 3},
      {"hello world\n", 3},
      {"kep-sync pid=42" + std::string(1, '\0') + "42\n", 3},
      {"kep-sync pid=4242\nmore\n", 3},
      {"kep-sync pid=4242\n" + std::string(200, ' '), 3},
  };
  TempDir temp;
  for (const auto &[content, status] : cases) {
    std::string path = temp.Write("sync", content);
    EXPECT_EQ(KepReadSyncFile(path.c_str(), kPid, nullptr), status) << content;
  }
  ASSERT_EQ(mkfifo(temp.File("fifo").c_str(), 0644), 0);
  EXPECT_EQ(KepReadSyncFile(temp.File("fifo").c_str(), kPid, nullptr), 3);  // does not wait
  EXPECT_EQ(KepReadSyncFile(temp.Path().c_str(), kPid, nullptr), 3);
  EXPECT_EQ(KepReadSyncFile(temp.File("missing").c_str(), kPid, nullptr), 2);
}

std::string WatchdogText(pid_t pid, const struct timeval &fedAt) {
  char text[128];
  snprintf(text, sizeof text, "kep-wd pid=%ld count=7 fed=%lld.%06ld\n", static_cast<long>(pid),
           static_cast<long long>(fedAt.tv_sec), static_cast<long>(fedAt.tv_usec));
  return text;
}

void SetMtime(const std::string &path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(KepWatchdog, AgeIsTheBootClockMinusTheFeedTimeInTheFileWhateverItsMtime) {
  struct timespec bootBefore, bootAfter;
  struct timeval before;
  clock_gettime(CLOCK_BOOTTIME, &bootBefore);
  KepGetUptime(&before);
  clock_gettime(CLOCK_BOOTTIME, &bootAfter);
  EXPECT_TRUE(bootBefore.tv_sec <= before.tv_sec && before.tv_sec <= bootAfter.tv_sec);
  TempDir temp;
  struct timeval fed = {before.tv_sec > 100 ? before.tv_sec - 100 : 0, 250000};
  std::string path = temp.Write("app-wd", WatchdogText(kPid, fed));
  for (time_t mtime : {time(nullptr), time(nullptr) + 100000, static_cast<time_t>(0)}) {
    SetMtime(path, mtime);
    struct timeval age, fedAt, now, expected;
    uint32_t count = 0;
    ASSERT_EQ(KepWatchdogFileTime(path.c_str(), kPid, &age, &fedAt, &now, &count), 0);
    timersub(&now, &fed, &expected);
    EXPECT_TRUE(timercmp(&fedAt, &fed, ==) && timercmp(&age, &expected, ==) && count == 7) << mtime;
  }
  // Fed again, then touched back to 1970: fresh, and counted on.
  ASSERT_EQ(KepFeedWatchdogFile(path.c_str(), kPid), 0);
  SetMtime(path, 0);
  struct timeval fedAt;
  uint32_t count = 0;
  ASSERT_EQ(KepWatchdogFileTime(path.c_str(), kPid, nullptr, &fedAt, nullptr, &count), 0);
  EXPECT_FALSE(timercmp(&fedAt, &before, <));
  EXPECT_EQ(count, 8u);
}

TEST(KepWatchdog, BadContentIsAnErrorThatLeavesTheOutputsAlone) {
  struct timeval current;
  KepGetUptime(&current);
  const std::pair<std::string, int> cases[] = {
      {WatchdogText(kPid + 1, current), 4},
      {"", 3},
      {WatchdogText(kPid, current).substr(0, 30), 3},
      {"kep-wd pid=4242 count=3 fed=12.5\n", 3},
      {"kep-wd count=3 pid=4242 fed=12.000001\n", 3},
      {std::string("\0\0\0\x10\x92\x01", 6), 3},
      {WatchdogText(kPid, {current.tv_sec + 100000, 0}), 3},  // fed after now
      {WatchdogText(kPid, current) + std::string(200, 'x'), 3},
  };
  TempDir temp;
  for (const auto &[content, status] : cases) {
    std::string path = temp.Write("wd", content);
    struct timeval age = {11, 1}, fedAt = {12, 2}, now = {13, 3};
    uint32_t count = 14;
    EXPECT_EQ(KepWatchdogFileTime(path.c_str(), kPid, &age, &fedAt, &now, &count), status)
        << content;
    EXPECT_TRUE(age.tv_sec == 11 && fedAt.tv_sec == 12 && now.tv_sec == 13 && count == 14);
  }
  EXPECT_EQ(
      KepWatchdogFileTime(temp.File("none").c_str(), kPid, nullptr, nullptr, nullptr, nullptr), 2);
  EXPECT_EQ(errno, ENOENT);  // kep tells a file not written yet by it
}

TEST(KepTvSub, GivesNormalisedSignedDifferences) {
  const struct timeval cases[][3] = {
      {{10, 100000}, {3, 200000}, {6, 900000}},  // borrow
      {{3, 0}, {10, 0}, {-7, 0}},
      {{3, 200000}, {3, 700000}, {-1, 500000}},  // negative, rounded down
      {{5, 2500000}, {1, 0}, {6, 500000}},       // operand not normalised
  };
  for (const auto &c : cases) {
    struct timeval out = {99, 99};
    ASSERT_EQ(KepTvSub(&c[0], &c[1], &out), 0);
    EXPECT_TRUE(timercmp(&out, &c[2], ==)) << out.tv_sec << "." << out.tv_usec;
  }
}

// Runs kep-notify with args and only the given environment; returns its exit
// status and standard error.
std::pair<int, std::string> RunNotify(const TempDir &temp, std::vector<std::string> words,
                                      std::vector<std::string> env) {
  words.insert(words.begin(), KEP_NOTIFY);
  std::vector<char *> argv, envp;
  for (std::string &word : words) argv.push_back(word.data());
  for (std::string &entry : env) envp.push_back(entry.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  std::string errPath = temp.File("notify.err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int status = 0;
  bool ran = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0 &&
             waitpid(pid, &status, 0) == pid && WIFEXITED(status);
  posix_spawn_file_actions_destroy(&actions);
  return {ran ? WEXITSTATUS(status) : -1, ReadFile(errPath)};
}

// kep-notify is a program of its own: these run it (left out under an emulator).
TEST(KepNotifyExec, WritesForItsParentOrTheGivenPid) {
  TempDir temp;
  const std::string start = temp.File("app-start"), wd = temp.File("app-wd");
  const std::vector<std::string> env = {"KEP_START_FILE=" + start, "KEP_WD_FILE=" + wd};
  EXPECT_EQ(RunNotify(temp, {"start"}, env).first, 0);
  EXPECT_EQ(KepReadSyncFile(start.c_str(), getpid(), nullptr), 0);  // this process is the parent
  EXPECT_EQ(RunNotify(temp, {"wd", "--pid=4321"}, env).first, 0);
  EXPECT_EQ(KepWatchdogFileTime(wd.c_str(), 4321, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(KepNotifyExec, ExitStatusAndMessageTellWhatHappened) {
  TempDir temp;
  struct Case {
    std::vector<std::string> args, env;
    int status;
    const char *message;
  };
  const Case cases[] = {
      {{"init"}, {"KEP_INIT_FILE="}, 1, "KEP_INIT_FILE is not set"},
      {{"stop"}, {"KEP_STOP_FILE=" + temp.File("missing/app-stop")}, 2, "cannot write"},
      {{"bogus"}, {}, 2, "unknown argument 'bogus'"},
      {{"--pid", "12x", "start"}, {}, 2, "--pid needs a process id"},
  };
  for (const Case &c : cases) {
    auto [status, err] = RunNotify(temp, c.args, c.env);
    EXPECT_EQ(status, c.status) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

}  // namespace
