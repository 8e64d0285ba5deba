// Against real system calls in temporary folders: kep's log, the debug log and
// kep's hook into it, synchronisation and watchdog files, the reboot-application
// file, the clean-up of synchronisation files, and the signal handlers.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <set>
#include <sstream>
#include <tuple>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "dlog.h"
#include "kep_main.h"
#include "kep_test.h"
#include "sync_cleanup.h"
#include "zel_files.h"
#include "zel_log_testing.h"

namespace {

// The lines of a log file after their time stamps ("... [12.345] ").
std::vector<std::string> Tails(const std::string &path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find("] ") + 2));
  return lines;
}

// The lowest free descriptor: one left open below it shows.
int LowestFree() {
  const int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

class Logs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(KepMkdirDashP(temp_.File("var/log/kep").c_str()), 0);
    ZelLog_SetRootForTesting(temp_.Path().c_str());
    Dlog_SetRootForTesting(temp_.Path().c_str());
  }
  void TearDown() override {
    Log_WriteClose();
    Log_SetLogLevel(30, nullptr);
    ZelLog_SetRootForTesting(nullptr);
    Dlog_SetRootForTesting(nullptr);
    Dlog_SetMaxBytesForTesting(0);
  }
  TempDir temp_;
  const std::string log_ = temp_.File("var/log/kep/unit.log"),
                    dlog_ = temp_.File("var/log/dlog.log");
};

TEST_F(Logs, TheFileGetsTheLevelsThatPassTheLevelSetAndTheHookGetsEveryMessage) {
  for (unsigned level : {20u, 30u, 40u, 50u}) {
    unlink(log_.c_str());
    ASSERT_EQ(Log_SetLogLevel(level, nullptr) | Log_WriteOpen("unit", 0, 0, 0), 0);
    LogCapture capture;
    for (int message = 1; message <= 4; ++message)
      Log_Msg(message, message % 2, message < 4 ? "KepMain" : nullptr, "%s(): %d", "f", message);
    ASSERT_EQ(Log_WriteClose(), 0);
    std::string hooked;
    const std::vector<std::string> all = {"ERROR* KepMain: f(): 1", "WARN KepMain: f(): 2",
                                          "INFO* KepMain: f(): 3", "DEBUG -: f(): 4"};
    for (const LogLine &l : capture.Lines())
      hooked += std::to_string(l.level * 10 + l.notice) + " " + l.file + ": " + l.text + "|";
    EXPECT_EQ(Tails(log_), std::vector<std::string>(all.begin(), all.begin() + level / 10 - 1));
    EXPECT_EQ(hooked, "11 KepMain: f(): 1|20 KepMain: f(): 2|31 KepMain: f(): 3|40 : f(): 4|");
  }
}

// 60 numbered lines to each log: the two files of each hold the newest, none
// lost, within the bound less the room kept for a newline (dlog), and the old
// one was started only when the next line would not fit. Neither memory nor a
// descriptor leaks, and the log's is not inherited by the programs kep runs.
TEST_F(Logs, FilesAreRotatedToOneOldFileAtTheBound) {
  const std::string text(100, 'x');
  __dlog_printf(6, "M", "%03d %s", 0, text.c_str());  // sets a bound that six entries fill
  const size_t dlogBound = 6 * ReadFile(dlog_).size() + 1;
  Dlog_SetMaxBytesForTesting(static_cast<long>(dlogBound));
  unlink(dlog_.c_str());
  // Opened as descriptor 0 (a program started with standard input closed).
  const int input = dup(STDIN_FILENO);
  close(STDIN_FILENO);
  const int logFd = LowestFree();
  ASSERT_EQ(Log_WriteOpen("unit", 0, 1, 0), 0);
  // The heap of the second half against the first: by then every size the
  // lines need sits in malloc's per-thread cache, which counts as in use.
  size_t heap = 0;
  const int lowest = LowestFree();
  for (int i = 0; i < 60; ++i) {
    if (i == 30) heap = mallinfo2().uordblks;
    Log_Msg(1, 0, "M", "%03d %s", i, text.c_str());
    __dlog_printf(6, "M", "%03d %s", i, text.c_str());
  }
  EXPECT_EQ(mallinfo2().uordblks, heap);
  EXPECT_TRUE(LowestFree() == lowest && (fcntl(logFd, F_GETFD) & FD_CLOEXEC));
  EXPECT_EQ(Log_WriteClose(), 0);
  EXPECT_EQ(LowestFree(), logFd);
  dup2(input, STDIN_FILENO);
  close(input);
  for (const auto &[path, bound, room] :
       {std::tuple{log_, size_t{1024}, size_t{0}}, std::tuple{dlog_, dlogBound, size_t{1}}}) {
    const std::string old = ReadFile(path + ".1"), current = ReadFile(path);
    EXPECT_TRUE(!old.empty() && old.size() + room <= bound && current.size() + room <= bound);
    EXPECT_GT(old.size() + room + current.find('\n') + 1, bound) << path;
    std::vector<int> numbers, expected;
    for (const std::string &file : {path + ".1", path})
      for (const std::string &line : Tails(file))
        numbers.push_back(std::stoi(line.substr(line.size() - 104)));
    for (int i = 60 - static_cast<int>(numbers.size()); i < 60; ++i) expected.push_back(i);
    EXPECT_EQ(numbers, expected) << path;
  }
}

// kep's hook: the finished text goes to the debug log literally, at the
// severity of its level and notice flag, cut with a marker and always as one
// line; an entry that could not be written is reported with the next one. No
// open waits on a FIFO, and errno stays as it was: callers look at it again.
TEST_F(Logs, TheHookWritesEachTextLiterallyAtItsSeverityAndTellsWhatWasLost) {
  ASSERT_EQ(mkfifo(log_.c_str(), 0644), 0);
  EXPECT_EQ(Log_WriteOpen("unit", 0, 0, 0), -1);
  // A log's name is one file name, and its sizes are not negative.
  const struct {
    const char *name;
    int maxKiB, syncMs;
  } refused[] = {{nullptr, 0, 0}, {"", 0, 0},      {"a/b", 0, 0},  {".", 0, 0},
                 {"..", 0, 0},    {"unit", -1, 0}, {"unit", 0, -1}};
  for (const auto &[name, maxKiB, syncMs] : refused) {
    errno = 0;
    EXPECT_EQ(Log_WriteOpen(name, 0, maxKiB, syncMs), -1) << (name ? name : "null");
    EXPECT_EQ(errno, EINVAL) << (name ? name : "null");
  }
  Dlog_SetRootForTesting(temp_.File("missing").c_str());
  errno = EPIPE;
  ExtLogFn(1, 0, "KepMain", "lost");
  Log_Msg(1, 0, "KepMain", "nowhere");
  EXPECT_EQ(errno, EPIPE);
  Dlog_SetRootForTesting(temp_.Path().c_str());
  for (auto [level, notice] :
       {std::pair{1, 1}, std::pair{2, 0}, std::pair{3, 1}, std::pair{3, 0}, std::pair{9, 0}})
    ExtLogFn(level, notice, "KepMain", "100% done %s %n");
  ExtLogFn(3, 0, nullptr, "two\nlines\x01\n");
  ExtLogFn(3, 0, "KepMain", std::string(10000, 'a').c_str());
  const std::string who =
      " " + std::string(program_invocation_short_name) + "[" + std::to_string(getpid()) + "] ";
  std::vector<std::string> expected = {
      "ERROR libdlog: 1 earlier entr(y/ies) of this process could not be written"};
  for (const char *word : {"ERROR", "WARN", "NOTICE", "INFO", "DEBUG"})
    expected.push_back(word + who + "KepMain: 100% done %s %n");
  expected.push_back("INFO" + who + "-: two\\nlines\\x01");
  expected.push_back("INFO" + who + "KepMain: " + std::string(4096, 'a') +
                     "...[cut from 10000 bytes]");
  EXPECT_EQ(Tails(dlog_), expected);
}

// Any process may lock the debug log and keep it locked: a writer waits for
// that a blink at most and writes its entry all the same.
TEST_F(Logs, ALockHeldOnTheDebugLogDelaysAWriterOnlyBriefly) {
  const int holder = open(dlog_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);  // a writer that waits for good ends here
    for (int entry = 0; entry < 3; ++entry) __dlog_printf(6, "M", "written anyway");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(CountOf(ReadFile(dlog_), "written anyway\n"), 3u);
  close(holder);
}

// A terminal that takes nothing more (a console stopped by flow control, a
// pseudo-terminal nobody reads) gets no more lines; the logger goes on.
TEST_F(Logs, AStoppedTerminalDoesNotStopTheLogger) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);  // a logger held up for good ends here
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (terminal < 0 || dup2(terminal, STDERR_FILENO) < 0) _exit(2);
    Log_SetLogLevel(50, nullptr);
    Log_Msg(1, 0, "M", "seen");
    for (int line = 0; line < 2000; ++line) Log_Msg(1, 0, "M", "%s", std::string(200, 'x').c_str());
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  char shown[256] = {};
  EXPECT_GT(read(master, shown, sizeof shown - 1), 0);
  EXPECT_NE(std::string(shown).find("ERROR M: seen"), std::string::npos) << shown;
  close(master);
}

// kep's log removed or replaced while kep runs (by hand, by a clean-up) is
// opened again at the next line; a link to it (to a RAM file system) stays a
// link, also when the file reaches its bound.
TEST_F(Logs, ALogRemovedOrReplacedIsOpenedAgainAndALinkedOneStaysLinked) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 1, 0), 0);
  Log_Msg(1, 0, "M", "first");
  unlink(log_.c_str());
  Log_Msg(1, 0, "M", "after its removal");
  EXPECT_EQ(Tails(log_), std::vector<std::string>{"ERROR M: after its removal"});
  rename(log_.c_str(), (log_ + ".away").c_str());
  temp_.Write("var/log/kep/unit.log", "");
  Log_Msg(1, 0, "M", "after its replacement");
  EXPECT_EQ(Tails(log_), std::vector<std::string>{"ERROR M: after its replacement"});
  ASSERT_EQ(Log_WriteClose(), 0);
  unlink(log_.c_str());
  ASSERT_EQ(symlink(temp_.File("ram.log").c_str(), log_.c_str()), 0);
  ASSERT_EQ(Log_WriteOpen("unit", 0, 1, 0), 0);
  for (int line = 0; line < 20; ++line)
    Log_Msg(1, 0, "M", "%02d %s", line, std::string(100, 'x').c_str());
  struct stat info;
  EXPECT_TRUE(lstat(log_.c_str(), &info) == 0 && S_ISLNK(info.st_mode));
  EXPECT_FALSE(FileExists(log_ + ".1"));
  const std::vector<std::string> kept = Tails(log_);
  EXPECT_TRUE(!kept.empty() && kept.back().find("19 x") != std::string::npos);
  EXPECT_LE(ReadFile(temp_.File("ram.log")).size(), 1024u);
}

std::string WatchdogText(pid_t pid, const struct timeval &fedAt) {
  char text[128];
  snprintf(text, sizeof text, "kep-wd pid=%ld count=7 fed=%lld.%06ld\n", static_cast<long>(pid),
           static_cast<long long>(fedAt.tv_sec), static_cast<long>(fedAt.tv_usec));
  return text;
}

int Sync(const std::string &path, pid_t pid) { return KepReadSyncFile(path.c_str(), pid, nullptr); }
int Watchdog(const std::string &path, pid_t pid) {
  return KepWatchdogFileTime(path.c_str(), pid, nullptr, nullptr, nullptr, nullptr);
}

// A reader takes a file only whole and for its pid, never waits, and leaves
// no descriptor open, also when standard input is closed and its file gets 0.
TEST(KepFiles, OnlyTheWholeLineOfThisPidCountsAndAReaderNeverWaits) {
  struct timeval now;
  KepGetUptime(&now);
  const std::string sync = "kep-sync pid=4242\n", wd = WatchdogText(4242, now);
  const struct {
    int (*read)(const std::string &, pid_t);
    std::string content;  // "(fifo)", "(missing)": no file but that
    pid_t pid;
    int status;
  } cases[] = {
      {Sync, sync, 4242, 0},
      {Sync, sync, 4243, 4},
      {Sync, "kep-sync pid=0\n", 0, 1},
      {Sync, "", 4242, 3},
      {Sync, "kep-sync pid=4242", 4242, 3},  // cut: 424 must not pass for 4242 either
      {Sync, "kep-sync pid=42" + std::string(1, '\0') + "42\n", 4242, 3},
      {Sync, sync + "more\n", 4242, 3},
      {Sync, sync + std::string(200, ' '), 4242, 3},
      {Sync, "(fifo)", 4242, 3},
      {Watchdog, wd, 4242, 0},
      {Watchdog, wd, 4243, 4},
      {Watchdog, wd.substr(0, 30), 4242, 3},
      {Watchdog, "kep-wd pid=4242 count=3 fed=12.5\n", 4242, 3},
      {Watchdog, WatchdogText(4242, {now.tv_sec + 100000, 0}), 4242, 3},  // fed after now
      {Watchdog, wd + std::string(200, 'x'), 4242, 3},
      {Watchdog, "(missing)", 4242, 2},
      {Watchdog, WatchdogText(0, now), 0, 1},
  };
  TempDir temp;
  const std::string path = temp.File("file");
  const int lowest = LowestFree(), input = dup(STDIN_FILENO);
  close(STDIN_FILENO);
  for (const auto &[read, content, pid, status] : cases) {
    if (content[0] != '(') temp.Write("file", content);
    EXPECT_TRUE(content != "(fifo)" || mkfifo(path.c_str(), 0644) == 0);
    EXPECT_EQ(read(path, pid), status) << content << " pid " << pid;
    EXPECT_TRUE(status != 2 || errno == ENOENT);  // kep tells a file not written yet by it
    unlink(path.c_str());
  }
  dup2(input, STDIN_FILENO);
  close(input);
  EXPECT_EQ(LowestFree(), lowest);
}

// A feed counts on from the file only when this pid wrote it.
TEST(KepFiles, WatchdogAgeIsTheBootClockMinusTheFeedTimeInTheFileWhateverItsMtime) {
  struct timeval before;
  KepGetUptime(&before);
  TempDir temp;
  const struct timeval fed = {before.tv_sec > 100 ? before.tv_sec - 100 : 0, 999999};  // borrows
  const std::string path = temp.Write("app-wd", WatchdogText(4242, fed));
  for (time_t mtime : {time(nullptr) + 100000, time_t{0}, time(nullptr)}) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct timeval age, fedAt, now, expected;
    uint32_t count = 0;
    ASSERT_EQ(KepWatchdogFileTime(path.c_str(), 4242, &age, &fedAt, &now, &count), 0);
    timersub(&now, &fed, &expected);
    EXPECT_TRUE(timercmp(&fedAt, &fed, ==) && timercmp(&age, &expected, ==) && count == 7) << mtime;
  }
  for (auto [pid, count] : {std::pair{4242, 8u}, {4243, 1u}, {4243, 2u}}) {
    ASSERT_EQ(KepFeedWatchdogFile(path.c_str(), pid), 0);
    uint32_t seen = 0;
    ASSERT_EQ(KepWatchdogFileTime(path.c_str(), pid, nullptr, nullptr, nullptr, &seen), 0);
    EXPECT_EQ(seen, count) << pid;
  }
}

// Writes in turn in one folder, each with what the path holds afterwards and
// what is logged. No temporary file or descriptor is left behind.
TEST(RebootFile, WriteReplacesTheFileWholeOrLeavesWhatWasThere) {
  TempDir dir;
  LogCapture log;
  const std::string a196(196, 'a'), fn = "KepWriteAppRebootFile(): ", d = dir.Path();
  const struct {
    std::string path;
    const char *inTheWay;  // an empty folder at this name, or null
    std::string name;
    uint32_t count;
    int result;
    std::string content, messages;  // what the path holds afterwards; what is logged
  } cases[] = {
      {"data", nullptr, "myapp", 2, 1, "myapp 2\n", ""},
      {"data", nullptr, "myapp", 0, 0, "myapp 2\n", ""},
      {"data", nullptr, "", 1, 0, "myapp 2\n", ""},
      {"data", nullptr, a196 + "a", 1, 0, "myapp 2\n", ""},  // "NAME 1\n" would reach 200
      {"data", nullptr, a196, 1, 1, a196 + " 1\n", ""},
      {"new/data", nullptr, "myapp", 1, 1, "myapp 1\n", ""},  // the last folder is made
      {"a/b/data", nullptr, "myapp", 1, 0, "",
       fn + "mkdir(" + d + "/a/b) failed (2).|" + fn + "fopen(" + d +
           "/a/b/data.tmp) failed (2).|"},
      {"r", "r", "myapp", 1, 0, "",
       fn + "rename(" + d + "/r.tmp, " + d + "/r) failed (21).|" + fn + "removed " + d +
           "/r.tmp after the failed write.|"},
  };
  const int lowest = LowestFree();
  for (const auto &[path, inTheWay, name, count, result, content, messages] : cases) {
    SCOPED_TRACE(path + " " + std::to_string(name.size()) + " " + std::to_string(count));
    const std::string file = dir.File(path);
    ASSERT_TRUE(inTheWay == nullptr || mkdir(dir.File(inTheWay).c_str(), 0755) == 0);
    Restore<const char *> rebootFile(rebootFilePath, file.c_str());
    log.Clear();
    EXPECT_EQ(KepWriteAppRebootFile(name, count), result);
    EXPECT_EQ(ReadFile(file), content);
    EXPECT_EQ(FileExists(file + ".tmp"), inTheWay != nullptr && path + ".tmp" == inTheWay);
    std::string logged;
    for (const std::string &text : log.Texts()) logged += text + "|";
    EXPECT_EQ(logged, messages);
  }
  EXPECT_EQ(LowestFree(), lowest);
}

// Read, then removed: a damaged file is left in place for that.
TEST(RebootFile, ReadTakesTheFirstLineAndTreatsADamagedOrMissingFileAsAbsent) {
  TempDir dir;
  LogCapture log;
  const std::string longName(250, 'n');
  const struct {
    std::string content;  // "-": no file
    const char *read;     // result [name] count
    std::string message;
  } cases[] = {
      {"myapp   7\n", "1 [myapp] 7", ""},
      {" 5\n", "1 [] 5", ""},
      {"a 1\nb 2\n", "1 [a] 1", ""},
      {"-", "0 [] 0", ""},  // no file
      {"myapp\n", "0 [] 0", "no space found [myapp\n]."},
      {"myapp 0\n", "0 [] 0", "invalid count [0\n]."},
      {"my app x\n", "0 [] 0", "invalid count [app x\n]."},
      {"", "0 [] 0", "fgets() failed (0)."},
      {longName + " 3\n", "0 [] 0", "no space found [" + longName.substr(0, 199) + "]."},
  };
  const std::string path = dir.File("data");
  Restore<const char *> rebootFile(rebootFilePath, path.c_str());
  for (const auto &[content, read, message] : cases) {
    SCOPED_TRACE(content);
    if (content != "-") dir.Write("data", content);
    log.Clear();
    std::string name = "stale";
    uint32_t count = 99;
    int result = KepReadAppRebootFile(&name, &count);
    EXPECT_EQ(std::to_string(result) + " [" + name + "] " + std::to_string(count), read);
    EXPECT_TRUE(FileExists(path) == (content != "-") && KepRemoveAppRebootFile() == 1);
    std::vector<std::string> logged;
    if (!message.empty()) logged.push_back("KepReadAppRebootFile(): " + message);
    // Removed durably, and said so: a power cut must not bring a record back.
    if (content != "-") logged.push_back("KepRemoveAppRebootFile(): removed " + path + ".");
    EXPECT_EQ(log.Texts(), logged);
    EXPECT_FALSE(FileExists(path));
  }
}

// The record is on storage before the write returns; a folder that cannot be
// synced then (here: it cannot even be opened, having write and search rights
// only) leaves the file replaced all the same: a warning, and success.
TEST(RebootFile, AWriteWhoseFolderCannotBeSyncedIsStillDone) {
  TempDir dir;
  const std::string folder = dir.File("wx"), file = folder + "/data";
  ASSERT_TRUE(chmod(dir.Path().c_str(), 0755) == 0 && mkdir(folder.c_str(), 0) == 0 &&
              chmod(folder.c_str(), 0333) == 0);
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t child = fork();
  if (child == 0) {
    // Root opens any folder: the write is made as nobody.
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(99);
    LogCapture log;
    rebootFilePath = file.c_str();
    const int result = KepWriteAppRebootFile("myapp", 2);
    for (const LogLine &line : log.Lines()) {
      const std::string text = std::to_string(line.level) + " " + line.text + "|";
      if (write(report[1], text.data(), text.size()) < 0) _exit(98);
    }
    _exit(result);
  }
  close(report[1]);
  std::string logged;
  char buffer[512];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) logged.append(buffer, n);
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(logged, "2 KepWriteAppRebootFile(): syncing the folder of " + file + " failed (13).|");
  chmod(folder.c_str(), 0755);
  EXPECT_EQ(ReadFile(file), "myapp 2\n");
}

// A symbolic link where kep opens a file or a folder of its own (a log, the
// synchronisation folder) is followed only when it is root's or the folder
// owner's: what a device image links to a RAM file system is used, what
// another user plants in a folder open to all is not. Each row gives the
// folder's owner and the link's; the clean-up empties the linked folder, an
// open for appending reaches the linked file, or both are refused.
TEST(Files, ALinkIsFollowedOnlyWhenItIsRootsOrTheFolderOwners) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give links and folders other owners";
  const struct {
    uid_t folderOwner, linkOwner;
    bool followed;
  } cases[] = {
      {0, 0, true}, {0, 1000, false}, {1000, 1000, true}, {1000, 0, true}, {1000, 1001, false}};
  for (auto [folderOwner, linkOwner, followed] : cases) {
    SCOPED_TRACE(std::to_string(folderOwner) + " " + std::to_string(linkOwner));
    TempDir ram, dir;
    ram.Write("app-start", "x");
    const std::string logLink = dir.File("kep.log"), folderLink = dir.File("syncFiles");
    ASSERT_TRUE(chown(dir.Path().c_str(), folderOwner, 0) == 0 &&
                chmod(dir.Path().c_str(), 01777) == 0 &&
                symlink(ram.File("kep.log").c_str(), logLink.c_str()) == 0 &&
                symlink(ram.Path().c_str(), folderLink.c_str()) == 0 &&
                lchown(logLink.c_str(), linkOwner, 0) == 0 &&
                lchown(folderLink.c_str(), linkOwner, 0) == 0);
    bool linked = !followed;
    const int fd = zel::OpenTrusted(logLink.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644, &linked);
    EXPECT_TRUE(fd >= 0 ? followed : errno == ELOOP) << errno;
    EXPECT_EQ(linked, followed);
    if (fd >= 0) close(fd);
    EXPECT_EQ(FileExists(ram.File("kep.log")), followed);
    EXPECT_EQ(KepRmAllFilesInDir(folderLink.c_str()), followed ? 0 : -1);
    EXPECT_NE(FileExists(ram.File("app-start")), followed);
  }
}

// A reader's buffer takes a file to its last byte; one byte more is a file too
// long, and the length never runs past the buffer.
TEST(Files, AReadFillsTheBufferAndTellsAFileLongerThanIt) {
  TempDir dir;
  const struct {
    size_t size;
    int result;
  } cases[] = {{0, 0}, {7, 0}, {8, 0}, {9, 1}, {100, 1}};
  for (auto [size, result] : cases) {
    dir.Write("data", std::string(size, 'x'));
    const int fd = open(dir.File("data").c_str(), O_RDONLY);
    char buffer[8];
    size_t length = 99;
    EXPECT_EQ(zel::ReadAll(fd, buffer, sizeof buffer, &length), result) << size;
    EXPECT_EQ(length, std::min(size, sizeof buffer)) << size;
    close(fd);
  }
}

// Links (to a file elsewhere) and folders stay whatever their names, and an
// entry whose path needs 200 characters or more is skipped with its message
// rather than cut to another name; 199 fit.
TEST(Cleanup, OnlyRegularFilesGoByPrefixOrAllAndNoPathIsShortened) {
  for (bool all : {false, true}) {
    TempDir outside, dir;
    const std::string fits = "foo-" + std::string(194 - dir.Path().size(), 'a'),
                      tooLong = fits + "a";
    const std::set<std::string> files = {"foo-start", "foo-bar-start", "foo", "Foo-start",
                                         fits,        tooLong};
    for (const std::string &name : files) dir.Write(name, "x");
    ASSERT_EQ(symlink(outside.Write("target", "t").c_str(), dir.File("foo-link").c_str()), 0);
    ASSERT_EQ(mkdir(dir.File("foo-dir").c_str(), 0755), 0);
    dir.Write("foo-dir/foo-inner", "x");
    LogCapture log;
    EXPECT_EQ(all ? KepRmAllFilesInDir(dir.Path().c_str())
                  : KepRmFilesWithPrefix(dir.File("foo-").c_str()),
              -1);
    std::set<std::string> kept = {tooLong};
    if (!all) kept.insert({"foo", "Foo-start"});
    for (const std::string &name : files)
      EXPECT_EQ(FileExists(dir.File(name)), kept.count(name) == 1) << name;
    EXPECT_TRUE(FileExists(dir.File("foo-link")) && FileExists(dir.File("foo-dir/foo-inner")) &&
                FileExists(outside.File("target")));
    ASSERT_EQ(log.Lines().size(), 1u) << log.Dump();
    EXPECT_TRUE(log.Lines()[0].notice == 0 &&
                log.Contains((all ? "KepRmAllFilesInDir" : "KepRmFilesWithPrefix") +
                             std::string("(): snprintf(") + dir.File(tooLong) + ") failed ("));
  }
}

// No handler restarts calls or resets itself: a signal must cut the state
// machine's sleep short. SIGINT, SIGHUP and SIGQUIT do what SIGTERM does, a
// second one changes nothing, and stopped children raise no SIGCHLD (kep's own
// runs show the other signals ignored or logged). One unblock of SIGCHLD undoes
// any number of blocks, and none of them logs when it works.
TEST(Signals, StopSignalsOnlyRequestTheShutdownNothingRestartsOrNestsAndFaultsEndKep) {
  sigset_t changed;
  sigemptyset(&changed);
  {
    SignalsRestored restored;
    struct sigaction action = {};
    ASSERT_EQ(SetSigTermHandler() | SetSigChildHandler() | SetSigStrayHandler(&changed), 0);
    for (int s = 1; s < NSIG; ++s)
      EXPECT_FALSE(!sigaction(s, nullptr, &action) &&
                   action.sa_flags & (SA_RESTART | SA_RESETHAND));
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
      shutdownRequested = 0;
      for (int twice = 0; twice < 2; ++twice) raise(s);
      EXPECT_EQ(shutdownRequested, 1) << s;
    }
    sigaction(SIGCHLD, nullptr, &action);
    EXPECT_TRUE(action.sa_sigaction == SigChildHandler && (action.sa_flags & SA_NOCLDSTOP));
    LogCapture log;
    sigset_t mask;
    EXPECT_TRUE(KepBlockSigChild() == 0 && KepControlSigChild(7) == 0 &&
                !sigprocmask(SIG_BLOCK, nullptr, &mask) && sigismember(&mask, SIGCHLD));
    EXPECT_TRUE(KepUnblockSigChild() == 0 && !sigprocmask(SIG_BLOCK, nullptr, &mask) &&
                !sigismember(&mask, SIGCHLD));
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
    shutdownRequested = 0;
  }
  // A real fault still ends kep (with a core), so that it is restarted.
  const pid_t child = fork();
  if (child == 0) {
    const struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    SetSigStrayHandler(&changed);
    raise(SIGSEGV);
    *static_cast<volatile char *>(
        mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) = 1;
    _exit(0);
  }
  int status = 0;
  EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFSIGNALED(status) &&
              WTERMSIG(status) == SIGSEGV);
}

}  // namespace
