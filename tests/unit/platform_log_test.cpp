// The logging libraries against a temporary root: libZelLog's file, level
// filter, hook and rotation, and libdlog's entries.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "ZelLog.h"
#include "dlog.h"
#include "kep_test.h"
#include "zel_log_testing.h"

namespace {

// Descriptors of this process that name a file under folder.
std::vector<int> DescriptorsUnder(const std::string &folder) {
  std::vector<int> found;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return found;
  while (struct dirent *entry = readdir(dir)) {
    int fd = atoi(entry->d_name);
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    if (std::string(target).rfind(folder, 0) == 0) found.push_back(fd);
  }
  closedir(dir);
  return found;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class ZelLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(temp_.File("var").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(temp_.File("var/log").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(temp_.File("var/log/kep").c_str(), 0755), 0);
    ZelLog_SetRootForTesting(temp_.Path().c_str());
    Dlog_SetRootForTesting(temp_.Path().c_str());
  }
  void TearDown() override {
    Log_WriteClose();
    Log_SetLogLevel(30, nullptr);
    Log_SetExtLogFn(nullptr);
    ZelLog_SetRootForTesting(nullptr);
    Dlog_SetRootForTesting(nullptr);
    Dlog_SetMaxBytesForTesting(0);
  }
  std::string LogFile(const std::string &suffix = "") const {
    return temp_.File("var/log/kep/unit.log" + suffix);
  }
  std::string Log() const { return ReadFile(LogFile()); }
  std::string Dlog() const { return ReadFile(temp_.File("var/log/dlog.log")); }

  TempDir temp_;
};

TEST_F(ZelLog, HookReceivesEveryMessageWhateverTheLevelSet) {
  ASSERT_EQ(Log_SetLogLevel(20, nullptr), 0);
  LogCapture capture;
  Log_Msg(1, 1, "KepMain", "%s(): error %d", "main", 7);
  Log_Msg(2, 0, "KepConfig", "warning");
  Log_Msg(3, 0, "KepStartApp", "info");
  Log_Msg(4, 0, nullptr, "debug");
  ASSERT_EQ(capture.Lines().size(), 4u) << capture.Dump();
  EXPECT_EQ(capture.Lines()[0].level, 1);
  EXPECT_EQ(capture.Lines()[0].notice, 1);
  EXPECT_EQ(capture.Lines()[0].file, "KepMain");
  EXPECT_EQ(capture.Lines()[0].text, "main(): error 7");
  EXPECT_EQ(capture.Lines()[1].file, "KepConfig");
  EXPECT_EQ(capture.Lines()[2].level, 3);
  EXPECT_EQ(capture.Lines()[3].level, 4);
  EXPECT_EQ(capture.Lines()[3].text, "debug");
}

void LogAgain(int level, int notice, const char *, const char *text) {
  Log_Msg(level, notice, "Hook", "inner %s", text);
}

TEST_F(ZelLog, MessageLoggedFromTheHookIsWrittenButNotHandedBack) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 0, 0), 0);
  Log_SetExtLogFn(LogAgain);
  Log_Msg(1, 0, "KepMain", "outer");
  Log_SetExtLogFn(nullptr);
  std::vector<std::string> lines = SplitLines(Log());
  ASSERT_EQ(lines.size(), 2u) << Log();
  EXPECT_NE(lines[0].find("KepMain: outer"), std::string::npos);
  EXPECT_NE(lines[1].find("Hook: inner outer"), std::string::npos);
}

TEST_F(ZelLog, FileGetsTheLevelsThatPassTheLevelSet) {
  struct Case {
    unsigned level;
    std::vector<bool> written;  // error, warning, info, debug
  };
  const Case cases[] = {
      {20, {true, false, false, false}},
      {30, {true, true, false, false}},
      {40, {true, true, true, false}},
      {50, {true, true, true, true}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.level);
    unlink(LogFile().c_str());
    ASSERT_EQ(Log_SetLogLevel(c.level, nullptr), 0);
    ASSERT_EQ(Log_WriteOpen("unit", 0, 0, 0), 0);
    for (int level = 1; level <= 4; ++level)
      Log_Msg(level, 0, "KepMain", "message of level %d", level);
    ASSERT_EQ(Log_WriteClose(), 0);
    std::string log = Log();
    for (int level = 1; level <= 4; ++level) {
      bool present = log.find("message of level " + std::to_string(level)) != std::string::npos;
      EXPECT_EQ(present, c.written[level - 1]) << "level " << level << "\n" << log;
    }
  }
}

TEST_F(ZelLog, LineHoldsTimesLevelFileAndTextOnOneLine) {
  ASSERT_EQ(Log_SetLogLevel(50, nullptr), 0);
  ASSERT_EQ(Log_WriteOpen("unit", 0, 0, 0), 0);
  Log_Msg(1, 1, "KepMain", "%s(): 100%% of %s", "main", "it");
  Log_Msg(2, 0, nullptr, "two\nlines\x01");
  Log_Msg(3, 0, "", "trailing newline\n");
  Log_Msg(9, 1, "KepUtil", "odd level");
  std::vector<std::string> lines = SplitLines(Log());
  ASSERT_EQ(lines.size(), 4u) << Log();
  const std::string stamp = R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\.\d{3}\] )";
  EXPECT_TRUE(
      std::regex_search(lines[0], std::regex(stamp + R"(ERROR\* KepMain: main\(\): 100% of it$)")))
      << lines[0];
  EXPECT_TRUE(std::regex_search(lines[1], std::regex(stamp + R"(WARN -: two\\nlines\\x01$)")))
      << lines[1];
  EXPECT_TRUE(std::regex_search(lines[2], std::regex(stamp + R"(INFO -: trailing newline$)")))
      << lines[2];
  EXPECT_TRUE(std::regex_search(lines[3], std::regex(stamp + R"(DEBUG\* KepUtil: odd level$)")))
      << lines[3];
}

TEST_F(ZelLog, LongTextIsCutWithAMarkerNamingItsLength) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 0, 0), 0);
  LogCapture capture;
  std::string longText(10000, 'a');
  Log_Msg(1, 0, "KepMain", "%s", longText.c_str());
  ASSERT_EQ(capture.Lines().size(), 1u);
  const std::string &text = capture.Lines()[0].text;
  EXPECT_EQ(text, std::string(4096, 'a') + "...[cut from 10000 bytes]");
  EXPECT_NE(Log().find(text + "\n"), std::string::npos);
}

TEST_F(ZelLog, CutNeverSplitsACharacter) {
  LogCapture capture;
  // 4095 bytes, then a two-byte character across the limit.
  std::string text = std::string(4095, 'a') + "\xc3\xa9" + std::string(10, 'b');
  Log_Msg(1, 0, "KepMain", "%s", text.c_str());
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].text, std::string(4095, 'a') + "...[cut from 4107 bytes]");
}

TEST_F(ZelLog, FileIsRotatedToOneOldFileAtTheBound) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 1, 0), 0);
  std::string text(100, 'x');
  for (int i = 0; i < 60; ++i) Log_Msg(1, 0, "KepMain", "%03d %s", i, text.c_str());
  ASSERT_EQ(Log_WriteClose(), 0);
  std::string current = Log();
  std::string old = ReadFile(LogFile(".1"));
  EXPECT_LE(current.size(), 1024u);
  EXPECT_LE(old.size(), 1024u);
  EXPECT_FALSE(old.empty());
  EXPECT_FALSE(FileExists(LogFile(".2")));
  // Whole lines only, and the newest and the one before it are where they belong.
  EXPECT_EQ(current.back(), '\n');
  EXPECT_EQ(old.back(), '\n');
  EXPECT_NE(current.find("KepMain: 059 "), std::string::npos) << current;
  std::vector<std::string> currentLines = SplitLines(current);
  std::vector<std::string> oldLines = SplitLines(old);
  int firstCurrent =
      std::stoi(currentLines.front().substr(currentLines.front().find("KepMain: ") + 9, 3));
  int lastOld = std::stoi(oldLines.back().substr(oldLines.back().find("KepMain: ") + 9, 3));
  EXPECT_EQ(lastOld + 1, firstCurrent);
}

TEST_F(ZelLog, OpenAndCloseRefuseWhatTheyCannotDo) {
  struct Case {
    const char *name;
    int maxKiB;
    int syncMs;
  };
  const Case invalid[] = {{nullptr, 0, 0}, {"", 0, 0},      {"a/b", 0, 0},  {".", 0, 0},
                          {"..", 0, 0},    {"unit", -1, 0}, {"unit", 0, -1}};
  for (const Case &c : invalid) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
    errno = 0;
    EXPECT_EQ(Log_WriteOpen(c.name, 0, c.maxKiB, c.syncMs), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(Log_WriteClose(), -1);  // nothing open

  ZelLog_SetRootForTesting(temp_.File("missing").c_str());
  errno = 0;
  EXPECT_EQ(Log_WriteOpen("unit", 0, 0, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(Log_WriteClose(), -1);

  // A FIFO at the path is refused at once, not waited on.
  ZelLog_SetRootForTesting(temp_.Path().c_str());
  ASSERT_EQ(mkfifo(LogFile().c_str(), 0644), 0);
  EXPECT_EQ(Log_WriteOpen("unit", 0, 0, 0), -1);
}

TEST_F(ZelLog, SecondOpenMovesToTheNewFile) {
  ASSERT_EQ(Log_WriteOpen("first", 0, 0, 0), 0);
  Log_Msg(1, 0, "KepMain", "to the first");
  ASSERT_EQ(Log_WriteOpen("unit", 0, 100, 200), 0);
  Log_Msg(1, 0, "KepMain", "to the second");
  ASSERT_EQ(Log_WriteClose(), 0);
  EXPECT_NE(ReadFile(temp_.File("var/log/kep/first.log")).find("to the first"), std::string::npos);
  EXPECT_EQ(ReadFile(temp_.File("var/log/kep/first.log")).find("to the second"), std::string::npos);
  EXPECT_NE(Log().find("to the second"), std::string::npos);
  EXPECT_EQ(DescriptorsUnder(temp_.Path()).size(), 0u);
}

TEST_F(ZelLog, SetLogLevelAcceptsOnlyTheScale) {
  int previous = -1;
  ASSERT_EQ(Log_SetLogLevel(40, &previous), 0);
  EXPECT_EQ(previous, 30);
  for (unsigned level : {0u, 10u, 25u, 35u, 60u, 4294967295u}) {
    SCOPED_TRACE(level);
    EXPECT_EQ(Log_SetLogLevel(level, &previous), -1);
  }
  ASSERT_EQ(Log_SetLogLevel(50, &previous), 0);
  EXPECT_EQ(previous, 40);  // the refused levels changed nothing
}

TEST_F(ZelLog, DescriptorsAreCloseOnExecAndNoneIsLeftBehind) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 1, 0), 0);
  std::string text(300, 'x');
  for (int i = 0; i < 10; ++i) Log_Msg(1, 0, "KepMain", "%s", text.c_str());  // rotates
  std::vector<int> open = DescriptorsUnder(temp_.Path());
  ASSERT_EQ(open.size(), 1u);
  EXPECT_TRUE(fcntl(open[0], F_GETFD) & FD_CLOEXEC);
  ASSERT_EQ(Log_WriteClose(), 0);

  __dlog_printf(5, "KepMain", "%s", "entry");
  EXPECT_EQ(DescriptorsUnder(temp_.Path()).size(), 0u);
}

TEST_F(ZelLog, TerminalOnStandardErrorGetsTheLinesThatPass) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    GTEST_SKIP() << "no pseudo terminal";
  int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  int savedStderr = dup(STDERR_FILENO);
  ASSERT_GE(savedStderr, 0);
  dup2(terminal, STDERR_FILENO);
  Log_Msg(1, 0, "KepMain", "first error");
  Log_Msg(3, 0, "KepMain", "filtered info");
  Log_Msg(1, 0, "KepMain", "last error");
  dup2(savedStderr, STDERR_FILENO);
  close(savedStderr);
  close(terminal);

  // Read until the last line has come through (bounded, not timed).
  std::string seen;
  struct pollfd wait = {master, POLLIN, 0};
  while (seen.find("last error") == std::string::npos && poll(&wait, 1, 10000) > 0) {
    char buffer[512];
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;
    seen.append(buffer, static_cast<size_t>(got));
  }
  close(master);
  EXPECT_NE(seen.find("ERROR KepMain: first error"), std::string::npos) << seen;
  EXPECT_NE(seen.find("ERROR KepMain: last error"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("filtered info"), std::string::npos) << seen;
}

TEST_F(ZelLog, LoggingLeavesErrnoAlone) {
  ASSERT_EQ(Log_WriteOpen("unit", 0, 0, 0), 0);
  errno = EPIPE;
  Log_Msg(1, 0, "KepMain", "written");
  EXPECT_EQ(errno, EPIPE);
  Dlog_SetRootForTesting(temp_.File("missing").c_str());
  EXPECT_EQ(__dlog_printf(3, "KepMain", "lost"), -1);
  EXPECT_EQ(errno, EPIPE);
  Dlog_SetRootForTesting(temp_.Path().c_str());
  EXPECT_EQ(__dlog_printf(3, "KepMain", "reports the lost entry"), 0);
}

TEST_F(ZelLog, DlogWritesPercentSignsLiterally) {
  ASSERT_EQ(__dlog_printf(5, "KepMain", "%s", "100% done %s %n %d"), 0);
  std::vector<std::string> lines = SplitLines(Dlog());
  ASSERT_EQ(lines.size(), 1u) << Dlog();
  const std::string tail = " NOTICE " + std::string(program_invocation_short_name) + "[" +
                           std::to_string(getpid()) + "] KepMain: 100% done %s %n %d";
  EXPECT_TRUE(lines[0].size() > tail.size() &&
              lines[0].compare(lines[0].size() - tail.size(), tail.size(), tail) == 0)
      << lines[0];
}

TEST_F(ZelLog, DlogEntryHoldsTimesSeverityProcessFileAndText) {
  struct Case {
    int level;
    const char *word;
  };
  const Case cases[] = {{3, "ERROR"}, {4, "WARN"},  {5, "NOTICE"},
                        {6, "INFO"},  {7, "DEBUG"}, {9, "L9"}};
  for (const Case &c : cases) __dlog_printf(c.level, "KepMain", "level %d", c.level);
  __dlog_printf(6, nullptr, "no file");
  std::vector<std::string> lines = SplitLines(Dlog());
  ASSERT_EQ(lines.size(), 7u) << Dlog();
  const std::string stamp = R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\.\d{3}\] )";
  const std::string process =
      std::string(program_invocation_short_name) + "\\[" + std::to_string(getpid()) + "\\]";
  for (size_t i = 0; i < 6; ++i) {
    std::regex expected(stamp + cases[i].word + " " + process + " KepMain: level " +
                        std::to_string(cases[i].level) + "$");
    EXPECT_TRUE(std::regex_search(lines[i], expected)) << lines[i];
  }
  EXPECT_TRUE(std::regex_search(lines[6], std::regex(" -: no file$"))) << lines[6];
}

TEST_F(ZelLog, DlogIsRotatedToOneOldFileAtTheBound) {
  Dlog_SetMaxBytesForTesting(1000);
  std::string text(100, 'y');
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(__dlog_printf(6, "KepMain", "%03d %s", i, text.c_str()), 0);
  std::string current = Dlog();
  std::string old = ReadFile(temp_.File("var/log/dlog.log.1"));
  EXPECT_LE(current.size(), 1000u);
  EXPECT_LE(old.size(), 1000u);
  EXPECT_FALSE(old.empty());
  EXPECT_FALSE(FileExists(temp_.File("var/log/dlog.log.2")));
  EXPECT_NE(current.find("KepMain: 039 "), std::string::npos);
}

TEST_F(ZelLog, DlogFailsWithoutItsFolderAndSaysSoLater) {
  Dlog_SetRootForTesting(temp_.File("missing").c_str());
  EXPECT_EQ(__dlog_printf(3, "KepMain", "lost"), -1);
  Dlog_SetRootForTesting(temp_.Path().c_str());
  ASSERT_EQ(__dlog_printf(3, "KepMain", "kept"), 0);
  std::string dlog = Dlog();
  EXPECT_NE(dlog.find("1 earlier entr"), std::string::npos) << dlog;
  EXPECT_NE(dlog.find("KepMain: kept"), std::string::npos) << dlog;
}

}  // namespace
