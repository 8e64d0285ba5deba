// The logging libraries against a temporary root: libZelLog's file, level
// filter, hook and rotation, libdlog's entries, and the descriptors that all
// the platform libraries open.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "ZelPathfind.h"
#include "dlog.h"
#include "kep_test.h"
#include "zel_log_testing.h"

namespace {

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

bool EndsWith(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ZelLog : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *folder : {"var", "var/log", "var/log/kep"})
      ASSERT_EQ(mkdir(temp_.File(folder).c_str(), 0755), 0);
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
  std::string LogFile() const { return temp_.File("var/log/kep/unit.log"); }
  std::string DlogFile() const { return temp_.File("var/log/dlog.log"); }

  TempDir temp_;
};

TEST_F(ZelLog, HookReceivesEveryMessageWhateverTheLevelSet) {
  ASSERT_EQ(Log_SetLogLevel(20, nullptr), 0);
  LogCapture capture;
  Log_Msg(1, 1, "KepMain", "%s(): error %d", "main", 7);
  Log_Msg(2, 0, "KepConfig", "warning");
  Log_Msg(3, 0, "KepStartApp", "info");
  Log_Msg(4, 0, nullptr, "debug");
  std::vector<std::string> seen;
  for (const LogLine &l : capture.Lines())
    seen.push_back(std::to_string(l.level) + std::to_string(l.notice) + " " + l.file + ": " +
                   l.text);
  EXPECT_EQ(seen, (std::vector<std::string>{"11 KepMain: main(): error 7", "20 KepConfig: warning",
                                            "30 KepStartApp: info", "40 : debug"}));
}

TEST_F(ZelLog, FileGetsTheLevelsThatPassTheLevelSet) {
  const std::vector<std::pair<unsigned, std::string>> cases = {
      {20, "1"}, {30, "12"}, {40, "123"}, {50, "1234"}};
  for (const auto &[level, written] : cases) {
    unlink(LogFile().c_str());
    ASSERT_EQ(Log_SetLogLevel(level, nullptr), 0);
    ASSERT_EQ(Log_WriteOpen("unit", 0, 0, 0), 0);
    for (int message = 1; message <= 4; ++message) Log_Msg(message, 0, "KepMain", "%d", message);
    ASSERT_EQ(Log_WriteClose(), 0);
    std::string levels;
    for (const std::string &line : SplitLines(ReadFile(LogFile()))) levels += line.back();
    EXPECT_EQ(levels, written) << "level set " << level;
  }
}

TEST_F(ZelLog, LongTextIsCutWithAMarkerAndEveryMessageIsOneLine) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 0, 0), 0);
  LogCapture capture;
  Log_Msg(1, 0, "KepMain", "%s", std::string(10000, 'a').c_str());
  Log_Msg(1, 0, "KepMain", "two\nlines\x01\n");
  const std::string cut = std::string(4096, 'a') + "...[cut from 10000 bytes]";
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{cut, "two\nlines\x01\n"}));
  std::vector<std::string> lines = SplitLines(ReadFile(LogFile()));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(EndsWith(lines[0], "ERROR KepMain: " + cut));
  EXPECT_TRUE(EndsWith(lines[1], "ERROR KepMain: two\\nlines\\x01")) << lines[1];
}

// Writes 60 numbered lines of about 150 bytes through log(i) and checks that
// path.1 and path hold the newest of them within the bound, none lost.
void ExpectRotated(const std::string &path, size_t bound, const std::function<void(int)> &log) {
  for (int i = 0; i < 60; ++i) log(i);
  const std::string old = ReadFile(path + ".1"), current = ReadFile(path);
  EXPECT_TRUE(!old.empty() && old.size() <= bound && current.size() <= bound);
  EXPECT_FALSE(FileExists(path + ".2"));
  std::vector<int> numbers, expected;
  for (const std::string &line : SplitLines(old + current))
    numbers.push_back(std::stoi(line.substr(line.size() - 104, 3)));
  for (int i = 60 - static_cast<int>(numbers.size()); i < 60; ++i) expected.push_back(i);
  EXPECT_EQ(numbers, expected);
}

TEST_F(ZelLog, FilesAreRotatedToOneOldFileAtTheBound) {
  const std::string text(100, 'x');
  ASSERT_EQ(Log_WriteOpen("unit", 0, 1, 0), 0);
  ExpectRotated(LogFile(), 1024, [&](int i) { Log_Msg(1, 0, "M", "%03d %s", i, text.c_str()); });
  Dlog_SetMaxBytesForTesting(1000);
  ExpectRotated(DlogFile(), 1000,
                [&](int i) { __dlog_printf(6, "M", "%03d %s", i, text.c_str()); });
}

TEST_F(ZelLog, OpenNeverWaitsOnAFifo) {
  ASSERT_EQ(mkfifo(LogFile().c_str(), 0644), 0);
  EXPECT_EQ(Log_WriteOpen("unit", 0, 0, 0), -1);
}

// Descriptors of this process that name a file under folder.
std::vector<int> DescriptorsUnder(const std::string &folder) {
  std::vector<int> found;
  DIR *dir = opendir("/proc/self/fd");
  while (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr) {
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)).rfind(folder, 0) == 0)
      found.push_back(atoi(entry->d_name));
  }
  if (dir != nullptr) closedir(dir);
  return found;
}

// kep forks and execs its applications while the log is open: the one lasting
// descriptor must be close-on-exec, and no call may leave another behind.
TEST_F(ZelLog, EveryLibraryDescriptorIsCloseOnExecOrClosed) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 1, 0), 0);
  std::string text(300, 'x');
  for (int i = 0; i < 10; ++i) Log_Msg(1, 0, "KepMain", "%s", text.c_str());  // rotates
  Dlog_SetMaxBytesForTesting(500);
  for (int i = 0; i < 3; ++i) __dlog_printf(5, "KepMain", "%s", text.c_str());  // rotates
  const std::string sync = temp_.File("sync"), wd = temp_.File("wd");
  ASSERT_EQ(KepWriteSyncFile(sync.c_str(), 42), 0);
  EXPECT_EQ(KepReadSyncFile(sync.c_str(), 42, nullptr), 0);
  ASSERT_EQ(KepFeedWatchdogFile(wd.c_str(), 42), 0);
  EXPECT_EQ(KepWatchdogFileTime(wd.c_str(), 42, nullptr, nullptr, nullptr, nullptr), 0);
  free(ZelPathfind(temp_.Path().c_str(), "sync", "r"));
  std::vector<int> open = DescriptorsUnder(temp_.Path());
  ASSERT_EQ(open.size(), 1u);
  EXPECT_TRUE(fcntl(open[0], F_GETFD) & FD_CLOEXEC);
  ASSERT_EQ(Log_WriteClose(), 0);
  EXPECT_TRUE(DescriptorsUnder(temp_.Path()).empty());
}

TEST_F(ZelLog, LoggingLeavesErrnoAloneEvenWhenItFails) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 0, 0), 0);
  errno = EPIPE;
  Log_Msg(1, 0, "KepMain", "written");
  EXPECT_EQ(errno, EPIPE);
  Dlog_SetRootForTesting(temp_.File("missing").c_str());
  EXPECT_EQ(__dlog_printf(3, "KepMain", "lost"), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST_F(ZelLog, DlogWritesPercentSignsLiterally) {
  ASSERT_EQ(__dlog_printf(5, "KepMain", "%s", "100% done %s %n %d"), 0);
  const std::string tail = " NOTICE " + std::string(program_invocation_short_name) + "[" +
                           std::to_string(getpid()) + "] KepMain: 100% done %s %n %d\n";
  EXPECT_TRUE(EndsWith(ReadFile(DlogFile()), tail)) << ReadFile(DlogFile());
}

}  // namespace
