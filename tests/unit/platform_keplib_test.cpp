// The support library against real files: synchronisation files, watchdog
// files, the boot clock, the application calls and kep-notify.
#include <dirent.h>
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

std::vector<std::string> Entries(const std::string &folder) {
  std::vector<std::string> names;
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

size_t DescriptorsUnder(const std::string &folder) {
  size_t count = 0;
  for (const std::string &fd : Entries("/proc/self/fd")) {
    char target[4096];
    ssize_t length = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)).rfind(folder, 0) == 0)
      ++count;
  }
  return count;
}

struct timeval Uptime() {
  struct timeval now;
  KepGetUptime(&now);
  return now;
}

// A watchdog file as the feeder writes it, fed at boot-clock time fedAt.
std::string WatchdogText(pid_t pid, unsigned count, const struct timeval &fedAt) {
  char text[128];
  snprintf(text, sizeof text, "kep-wd pid=%ld count=%u fed=%lld.%06ld\n", static_cast<long>(pid),
           count, static_cast<long long>(fedAt.tv_sec), static_cast<long>(fedAt.tv_usec));
  return text;
}

void SetMtime(const std::string &path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(KepSyncFile, WrittenForThePidIsDoneForThatPidOnly) {
  TempDir temp;
  std::string path = temp.File("app-start");
  ASSERT_EQ(KepWriteSyncFile(path.c_str(), kPid), 0);
  EXPECT_EQ(ReadFile(path), "kep-sync pid=4242\n");
  EXPECT_EQ(KepReadSyncFile(path.c_str(), kPid, nullptr), 0);
  EXPECT_EQ(KepReadSyncFile(path.c_str(), kPid + 1, nullptr), 4);
  // Replaced whole, leaving nothing beside it.
  ASSERT_EQ(KepWriteSyncFile(path.c_str(), kPid + 1), 0);
  EXPECT_EQ(KepReadSyncFile(path.c_str(), kPid + 1, nullptr), 0);
  EXPECT_EQ(Entries(temp.Path()), std::vector<std::string>{"app-start"});
  EXPECT_EQ(DescriptorsUnder(temp.Path()), 0u);
}

TEST(KepSyncFile, BadContentIsNotYetAndNeverACrash) {
  struct Case {
    const char *what;
    std::string content;
    int status;
  };
  const Case cases[] = {
      {"empty", "", 3},
      {"cut before the newline", "kep-sync pid=4242", 3},
      {"cut in the number", "kep-sync pid=42", 3},
      {"cut number with newline names another pid", "kep-sync pid=42\n", 4},
      {"another pid", "kep-sync pid=4243\n", 4},
      {"garbage", "hello world\n", 3},
      {"bare pid", "4242\n", 3},
      {"binary", std::string("\0\x01\xff\xfe kep-sync pid=4242\n", 22), 3},
      {"nul inside",
       std::string("kep-sync pid=42\0"
                   "42\n",
                   19),
       3},
      {"leading space", " kep-sync pid=4242\n", 3},
      {"negative", "kep-sync pid=-4242\n", 3},
      {"too large a pid", "kep-sync pid=99999999999999999999999\n", 3},
      {"trailing text", "kep-sync pid=4242\nmore\n", 3},
      {"second newline", "kep-sync pid=4242\n\n", 3},
      {"longer than a reader takes", "kep-sync pid=4242\n" + std::string(200, ' '), 3},
  };
  TempDir temp;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = temp.Write("sync", c.content);
    EXPECT_EQ(KepReadSyncFile(path.c_str(), kPid, nullptr), c.status);
  }
}

TEST(KepSyncFile, MissingOrOddPathsAndArgumentsAreNotYet) {
  TempDir temp;
  std::string path = temp.Write("sync", "kep-sync pid=4242\n");
  EXPECT_EQ(KepReadSyncFile(temp.File("missing").c_str(), kPid, nullptr), 2);
  EXPECT_EQ(KepReadSyncFile(temp.Path().c_str(), kPid, nullptr), 3);  // a directory
  std::string fifo = temp.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(KepReadSyncFile(fifo.c_str(), kPid, nullptr), 3);  // never waits for a writer
  EXPECT_EQ(KepReadSyncFile(nullptr, kPid, nullptr), 1);
  EXPECT_EQ(KepReadSyncFile(path.c_str(), 0, nullptr), 1);
  int reserved = 0;
  EXPECT_EQ(KepReadSyncFile(path.c_str(), kPid, &reserved), 1);
  EXPECT_EQ(DescriptorsUnder(temp.Path()), 0u);
}

TEST(KepSyncFile, WriteFailsCleanlyWhereItCannotWrite) {
  TempDir temp;
  errno = 0;
  EXPECT_EQ(KepWriteSyncFile(temp.File("missing/sync").c_str(), kPid), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(KepWriteSyncFile(nullptr, kPid), -1);
  EXPECT_EQ(KepWriteSyncFile(temp.File("sync").c_str(), 0), -1);
  // The target is a directory: the rename fails and the temporary file goes.
  ASSERT_EQ(mkdir(temp.File("dir").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(temp.File("dir/sub").c_str(), 0755), 0);
  EXPECT_EQ(KepWriteSyncFile(temp.File("dir/sub").c_str(), kPid), -1);
  EXPECT_EQ(Entries(temp.File("dir")), std::vector<std::string>{"sub"});
}

TEST(KepWatchdog, FeedsGiveTheAgeOnTheBootClockAndCount) {
  TempDir temp;
  std::string path = temp.File("app-wd");
  struct timeval before = Uptime();
  ASSERT_EQ(KepFeedWatchdogFile(path.c_str(), kPid), 0);
  struct timeval age = {-1, 0}, fedAt = {-1, 0}, now = {-1, 0};
  uint32_t count = 0;
  ASSERT_EQ(KepWatchdogFileTime(path.c_str(), kPid, &age, &fedAt, &now, &count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(timercmp(&fedAt, &before, <));
  EXPECT_FALSE(timercmp(&now, &fedAt, <));
  struct timeval expected;
  timersub(&now, &fedAt, &expected);
  EXPECT_TRUE(timercmp(&age, &expected, ==));
  ASSERT_EQ(KepFeedWatchdogFile(path.c_str(), kPid), 0);
  ASSERT_EQ(KepWatchdogFileTime(path.c_str(), kPid, nullptr, nullptr, nullptr, &count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(Entries(temp.Path()), std::vector<std::string>{"app-wd"});
  EXPECT_EQ(DescriptorsUnder(temp.Path()), 0u);
}

TEST(KepWatchdog, MtimeChangesNothing) {
  TempDir temp;
  struct timeval current = Uptime();
  // Fed a while ago (as far back as this boot allows).
  struct timeval fed = {current.tv_sec > 100 ? current.tv_sec - 100 : 0, 250000};
  std::string path = temp.Write("app-wd", WatchdogText(kPid, 7, fed));
  const time_t mtimes[] = {time(nullptr), time(nullptr) + 100000, 0};
  for (time_t mtime : mtimes) {
    SCOPED_TRACE(mtime);
    SetMtime(path, mtime);
    struct timeval age, fedAt, now;
    uint32_t count = 0;
    ASSERT_EQ(KepWatchdogFileTime(path.c_str(), kPid, &age, &fedAt, &now, &count), 0);
    EXPECT_TRUE(timercmp(&fedAt, &fed, ==));
    struct timeval expected;
    timersub(&now, &fed, &expected);
    EXPECT_TRUE(timercmp(&age, &expected, ==));
    EXPECT_EQ(count, 7u);
  }
  // A fresh feed with an ancient mtime is still fresh.
  ASSERT_EQ(KepFeedWatchdogFile(path.c_str(), kPid), 0);
  SetMtime(path, 0);
  struct timeval fedAt;
  ASSERT_EQ(KepWatchdogFileTime(path.c_str(), kPid, nullptr, &fedAt, nullptr, nullptr), 0);
  EXPECT_FALSE(timercmp(&fedAt, &current, <));
}

TEST(KepWatchdog, OtherPidAndDamagedFilesAreErrorsThatLeaveTheOutputsAlone) {
  struct timeval current = Uptime();
  struct timeval future = {current.tv_sec + 100000, 0};
  struct Case {
    const char *what;
    std::string content;
    int status;
  };
  const Case cases[] = {
      {"another pid", WatchdogText(kPid + 1, 3, current), 4},
      {"empty", "", 3},
      {"cut", WatchdogText(kPid, 3, current).substr(0, 30), 3},
      {"no newline", "kep-wd pid=4242 count=3 fed=12.000001", 3},
      {"short microseconds", "kep-wd pid=4242 count=3 fed=12.5\n", 3},
      {"long microseconds", "kep-wd pid=4242 count=3 fed=12.0000001\n", 3},
      {"count too large", "kep-wd pid=4242 count=4294967296 fed=12.000001\n", 3},
      {"pid zero", "kep-wd pid=0 count=3 fed=12.000001\n", 3},
      {"fields swapped", "kep-wd count=3 pid=4242 fed=12.000001\n", 3},
      {"sync file", "kep-sync pid=4242\n", 3},
      {"garbage", "woof\n", 3},
      {"binary", std::string("\0\0\0\x10\x92\x01", 6), 3},
      {"fed after now", WatchdogText(kPid, 3, future), 3},
      {"too long", WatchdogText(kPid, 3, current) + std::string(200, 'x'), 3},
  };
  TempDir temp;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = temp.Write("wd", c.content);
    struct timeval age = {11, 1}, fedAt = {12, 2}, now = {13, 3};
    uint32_t count = 14;
    EXPECT_EQ(KepWatchdogFileTime(path.c_str(), kPid, &age, &fedAt, &now, &count), c.status);
    EXPECT_EQ(age.tv_sec, 11);
    EXPECT_EQ(fedAt.tv_sec, 12);
    EXPECT_EQ(now.tv_sec, 13);
    EXPECT_EQ(count, 14u);
  }
  EXPECT_EQ(
      KepWatchdogFileTime(temp.File("missing").c_str(), kPid, nullptr, nullptr, nullptr, nullptr),
      2);
  EXPECT_EQ(KepWatchdogFileTime(temp.Path().c_str(), kPid, nullptr, nullptr, nullptr, nullptr), 3);
  EXPECT_EQ(KepWatchdogFileTime(nullptr, kPid, nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(KepWatchdogFileTime(temp.File("wd").c_str(), 0, nullptr, nullptr, nullptr, nullptr), 1);
}

TEST(KepWatchdog, CountStartsAgainForAnotherPidOrADamagedFile) {
  TempDir temp;
  std::string path = temp.Write("wd", WatchdogText(kPid + 1, 50, Uptime()));
  uint32_t count = 0;
  ASSERT_EQ(KepFeedWatchdogFile(path.c_str(), kPid), 0);
  ASSERT_EQ(KepWatchdogFileTime(path.c_str(), kPid, nullptr, nullptr, nullptr, &count), 0);
  EXPECT_EQ(count, 1u);
  temp.Write("wd", "damaged");
  ASSERT_EQ(KepFeedWatchdogFile(path.c_str(), kPid), 0);
  ASSERT_EQ(KepWatchdogFileTime(path.c_str(), kPid, nullptr, nullptr, nullptr, &count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(KepFeedWatchdogFile(temp.File("missing/wd").c_str(), kPid), -1);
}

TEST(KepTvSub, GivesNormalisedDifferences) {
  struct Case {
    struct timeval a, b, expected;
  };
  const Case cases[] = {
      {{10, 500000}, {3, 200000}, {7, 300000}},
      {{10, 100000}, {3, 200000}, {6, 900000}},  // borrow
      {{3, 0}, {10, 0}, {-7, 0}},                // negative
      {{3, 200000}, {3, 700000}, {-1, 500000}},  // negative, rounded down
      {{5, 2500000}, {1, 0}, {6, 500000}},       // operand not normalised
      {{100, 0}, {100, 0}, {0, 0}},
  };
  for (const Case &c : cases) {
    struct timeval out = {99, 99};
    ASSERT_EQ(KepTvSub(&c.a, &c.b, &out), 0);
    EXPECT_EQ(out.tv_sec, c.expected.tv_sec) << c.a.tv_sec << "." << c.a.tv_usec;
    EXPECT_EQ(out.tv_usec, c.expected.tv_usec) << c.a.tv_sec << "." << c.a.tv_usec;
  }
  struct timeval t = {1, 0};
  EXPECT_EQ(KepTvSub(nullptr, &t, &t), -1);
  EXPECT_EQ(KepTvSub(&t, nullptr, &t), -1);
  EXPECT_EQ(KepTvSub(&t, &t, nullptr), -1);
}

TEST(KepGetUptime, ReadsTheBootClock) {
  struct timespec before, after;
  clock_gettime(CLOCK_BOOTTIME, &before);
  struct timeval uptime = Uptime();
  clock_gettime(CLOCK_BOOTTIME, &after);
  EXPECT_GE(uptime.tv_sec, before.tv_sec);
  EXPECT_LE(uptime.tv_sec, after.tv_sec);
  EXPECT_GE(uptime.tv_usec, 0);
  EXPECT_LT(uptime.tv_usec, 1000000);
  EXPECT_EQ(KepGetUptime(nullptr), -1);
}

// Sets the variables for one test and removes them at the end.
class KepNotify : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char *name : {"KEP_START_FILE", "KEP_INIT_FILE", "KEP_STOP_FILE", "KEP_WD_FILE"})
      unsetenv(name);
  }
  TempDir temp_;
};

TEST_F(KepNotify, CallsWriteForThisProcessWhenTheirVariableIsSet) {
  struct Case {
    const char *variable;
    int (*call)(void);
  };
  const Case cases[] = {{"KEP_START_FILE", KepNotifyStarted},
                        {"KEP_INIT_FILE", KepNotifyInitialized},
                        {"KEP_STOP_FILE", KepNotifyStopped}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.variable);
    EXPECT_EQ(c.call(), 1);  // not set: kep does not wait for it
    setenv(c.variable, "", 1);
    EXPECT_EQ(c.call(), 1);
    std::string path = temp_.File(c.variable);
    setenv(c.variable, path.c_str(), 1);
    ASSERT_EQ(c.call(), 0);
    EXPECT_EQ(KepReadSyncFile(path.c_str(), getpid(), nullptr), 0);
    setenv(c.variable, temp_.File("missing/file").c_str(), 1);
    EXPECT_EQ(c.call(), -1);
  }
  EXPECT_EQ(KepFeedWatchdog(), 1);
  std::string wd = temp_.File("wd");
  setenv("KEP_WD_FILE", wd.c_str(), 1);
  ASSERT_EQ(KepFeedWatchdog(), 0);
  ASSERT_EQ(KepFeedWatchdog(), 0);
  uint32_t count = 0;
  EXPECT_EQ(KepWatchdogFileTime(wd.c_str(), getpid(), nullptr, nullptr, nullptr, &count), 0);
  EXPECT_EQ(count, 2u);
}

struct Outcome {
  int status;
  std::string err;
};

// Runs kep-notify with args and the extra environment entries, stderr to a file.
Outcome RunNotify(const TempDir &temp, const std::vector<std::string> &args,
                  const std::vector<std::string> &environment) {
  std::vector<std::string> words = {KEP_NOTIFY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = environment;
  std::vector<char *> envp;
  for (std::string &entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string errPath = temp.File("notify.err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {-1, "spawn failed"};
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(errPath)};
}

// kep-notify is a program of its own: these run it (and are left out under an
// emulator).
using KepNotifyExec = KepNotify;

TEST_F(KepNotifyExec, WritesForItsParentOrTheGivenPid) {
  std::string start = temp_.File("app-start");
  std::string wd = temp_.File("app-wd");
  std::vector<std::string> env = {"KEP_START_FILE=" + start, "KEP_WD_FILE=" + wd};
  EXPECT_EQ(RunNotify(temp_, {"start"}, env).status, 0);
  EXPECT_EQ(KepReadSyncFile(start.c_str(), getpid(), nullptr), 0);  // this process is the parent
  EXPECT_EQ(RunNotify(temp_, {"--pid", "4321", "start"}, env).status, 0);
  EXPECT_EQ(KepReadSyncFile(start.c_str(), 4321, nullptr), 0);
  EXPECT_EQ(RunNotify(temp_, {"wd", "--pid=4321"}, env).status, 0);
  EXPECT_EQ(RunNotify(temp_, {"wd", "--pid=4321"}, env).status, 0);
  uint32_t count = 0;
  EXPECT_EQ(KepWatchdogFileTime(wd.c_str(), 4321, nullptr, nullptr, nullptr, &count), 0);
  EXPECT_EQ(count, 2u);
}

TEST_F(KepNotifyExec, ExitStatusAndMessageTellWhatHappened) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    const char *message;
  };
  const std::string missing = "KEP_STOP_FILE=" + temp_.File("missing/app-stop");
  const Case cases[] = {
      {{"init"}, {}, 1, "KEP_INIT_FILE is not set"},
      {{"init"}, {"KEP_INIT_FILE="}, 1, "KEP_INIT_FILE is not set"},
      {{"stop"}, {missing}, 2, "cannot write"},
      {{}, {}, 2, "give one of start, init, stop or wd"},
      {{"bogus"}, {}, 2, "unknown argument 'bogus'"},
      {{"start", "init"}, {}, 2, "once"},
      {{"--pid", "0", "start"}, {}, 2, "--pid needs a process id"},
      {{"--pid", "12x", "start"}, {}, 2, "--pid needs a process id"},
      {{"start", "--pid"}, {}, 2, "--pid needs a process id"},
      {{"--help"}, {}, 0, ""},
  };
  for (const Case &c : cases) {
    std::string words;
    for (const std::string &arg : c.args) words += arg + " ";
    SCOPED_TRACE(words);
    Outcome outcome = RunNotify(temp_, c.args, c.env);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
  }
}

}  // namespace
