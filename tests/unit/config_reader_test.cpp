#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "kep_config.h"
#include "kep_test.h"

namespace {

using Strings = std::vector<std::string>;

// Every case reads a file of its own; synchronisation paths point into the
// temporary folder.
class ConfigReader : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = syncDir_.c_str();
  }
  void TearDown() override {
    kepSyncFilesDir = savedSyncDir_;
    ResetModel();
  }

  // Writes text as the configuration file and reads it into a clean model.
  int Read(const std::string &text) {
    ResetModel();
    log_.Clear();
    temp_.Write("kep.conf", text);
    return KepReadConfig(path_.c_str());
  }
  // An error logged exactly so, about line n of the file.
  bool Error(const std::string &message, int n) const {
    const std::string text = message + ", file: " + path_ + ", line: " + std::to_string(n) + ".";
    const std::vector<LogLine> &lines = log_.Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const LogLine &line) {
      return line.text == text && line.level == 1 && line.notice == 0 && line.file == "KepConfig";
    });
  }
  std::string LinesRead(int n) const {
    return "KepReadConfig(): " + std::to_string(n) + " lines read from " + path_ + ".";
  }
  std::string FailedAt(int n) const {
    return "KepReadConfig(): parsing " + path_ + " failed at line " + std::to_string(n) + ".";
  }
  static const KepApp &App(size_t n) { return *std::next(KepGetAppList().begin(), n); }
  static Strings List(const std::list<std::string> &list) { return {list.begin(), list.end()}; }

  TempDir temp_;
  LogCapture log_;
  const std::string path_ = temp_.File("kep.conf");
  const std::string syncDir_ = temp_.File("sync");
  const char *savedSyncDir_ = nullptr;
};

}  // namespace

TEST_F(ConfigReader, AValidFileFillsSettingsListsAndSyncFiles) {
  ASSERT_EQ(Read("KILLDELAY 7\n"
                 "killRetries 4 #5\n"
                 "disableReboot false\n"
                 "disableReset\n"
                 "globalEnv PATH \"/bin:/usr/bin\"\n"
                 "globalEnv Q \"say \"hi\"\"\n"
                 "application /usr/bin/app {\n"
                 "  DEATHACTION restart\n"
                 "  doNotDeathMonitor no\n"
                 "  deathMonitorAction halt\n"
                 "  env HOME \"/root\"\n"
                 "  env X \"a  b\"\n"
                 "  arg \"-a 1 -b\"\n"
                 "  arg \t \"a\" \"b\"\n"
                 "  arg \"\"\n"
                 "  wdEnable /tmp/x/wd\n"
                 "  startSync\n"
                 "}\n"
                 "application other {\n"
                 "  stopSync\n  initSync\t\r\n"
                 "}\n"),
            0)
      << log_.Dump();
  EXPECT_EQ(KepGetKillDelay(), 7u);
  EXPECT_EQ(KepGetKillRetries(), 4u);
  EXPECT_EQ(KepGetDisableReboot(), 1);  // a flag: "false" behind it is ignored
  EXPECT_EQ(KepGetDisableReset(), 1);
  EXPECT_EQ(List(KepGetGlobalEnvList()), (Strings{"PATH=/bin:/usr/bin", "Q=say \"hi\""}));
  ASSERT_EQ(KepGetAppList().size(), 2u);
  const KepApp &app = App(0);
  EXPECT_EQ(app.name, "/usr/bin/app");
  EXPECT_EQ(app.deathAction, KEP_DEATH_ACTION_RESTART);
  EXPECT_EQ(app.deathMonitorAction, KEP_DEATH_ACTION_HALT);
  EXPECT_EQ(app.doNotDeathMonitor, 1);
  EXPECT_EQ(List(app.argList), (Strings{"-a", "1", "-b", "a\"", "\"b"}));
  // The application's own entries, then the sync-file variables in a fixed order.
  EXPECT_EQ(List(app.envList),
            (Strings{"HOME=/root", "X=a  b", "KEP_START_FILE=" + syncDir_ + "/app-start",
                     "KEP_WD_FILE=/tmp/x/wd"}));
  EXPECT_FALSE(app.initFile || app.stopFile);
  EXPECT_EQ(App(1).deathAction, KEP_DEATH_ACTION_INVALID);
  EXPECT_EQ(List(App(1).envList), (Strings{"KEP_INIT_FILE=" + syncDir_ + "/other-init",
                                           "KEP_STOP_FILE=" + syncDir_ + "/other-stop"}));
}

// Every unsigned keyword: its range, token number and codes.
TEST_F(ConfigReader, UnsignedKeywordsEnforceTheirRanges) {
  struct Case {
    const char *keyword;
    int token;
    uint32_t minimum, maximum;
    uint32_t (*get)();
  };
  const Case cases[] = {
      {"killDelay", 1, 2, 60, KepGetKillDelay},
      {"killRetries", 2, 0, 10, KepGetKillRetries},
      {"wdTimeout", 5, 0, 300, KepGetWdTimeout},
      {"startSyncTime", 6, 1, 20, KepGetStartSyncTime},
      {"initSyncTime", 7, 1, 60, KepGetInitSyncTime},
      {"stopSyncTime", 8, 1, 60, KepGetStopSyncTime},
      {"deathMonitorPeriod", 10, 10, 3600, KepGetDeathMonitorPeriod},
      {"deathMonitorMaxDeath", 11, 2, 100, KepGetDeathMonitorMaxDeath},
      {"startLevel", 14, 0, 100, [] { return KepGetAppList().front().startLevel; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.keyword);
    const bool inApp = c.token == 14;
    auto run = [&](const std::string &value, int status, const std::string &message) {
      const std::string text = c.keyword + (" " + value) + "\n";
      EXPECT_EQ(Read(inApp ? "application app {\n" + text + "}\n" : text), status) << value;
      EXPECT_TRUE(message.empty() || Error("ProcessUintToken(): " + message, inApp ? 2 : 1))
          << value << "\n"
          << log_.Dump();
    };
    const std::string token = " for token " + std::to_string(c.token) + " (";
    const std::string low = std::to_string(c.minimum), high = std::to_string(c.maximum);
    run(low + "s", 0, "");  // characters behind the digits are ignored
    EXPECT_EQ(c.get(), c.minimum);
    run("+" + high, 0, "");
    EXPECT_EQ(c.get(), c.maximum);
    if (c.minimum > 0) {
      run(std::to_string(c.minimum - 1), 1024,
          "uint value" + token + std::to_string(c.minimum - 1) + ") < minimum (" + low + ")");
    }
    run(std::to_string(c.maximum + 1), 1025,
        "uint value" + token + std::to_string(c.maximum + 1) + ") > maximum (" + high + ")");
    // A minus sign wraps into a large number; so does a number beyond 32 bits.
    for (const char *huge : {"-1", "99999999999999999999"}) {
      run(huge, 1025, "uint value" + token + "4294967295) > maximum (" + high + ")");
    }
    run("x1", 1023, "invalid uint value" + token + "x1)");
    run("", 1022, "uint argument for token " + std::to_string(c.token) + " not found");
  }
}

// Each failing line: its status, its handler's message (and the quoted-text
// message before it) and the end of the read. A line beginning with a space is
// read inside a block, as line 2.
TEST_F(ConfigReader, AFailingLineGivesItsStatusAndMessages) {
  struct Case {
    std::string line;
    int status;
    const char *message;
    const char *quoteMessage = nullptr;  // KepGetQuotedString's
  };
  const Case cases[] = {
      {"killDelay #5", 1023, "ProcessUintToken(): invalid uint value for token 1 (#5)"},
      {"application app{", 1016, "ProcessApplicationToken(): opening brace not found"},
      {"application", 1017, "ProcessApplicationToken(): application name not found"},
      {"}", 1027, "ProcessConfigLine(): Invalid token (\"}\") found"},
      {" killDelay 5", 1028,
       "ProcessConfigLine(): Invalid application token (\"killDelay\") found"},
      {" deathAction", 1018, "ProcessDeathActionToken(): deathAction token not found"},
      {" deathAction Restart", 1030, "ProcessDeathActionToken(): invalid deathAction (Restart)"},
      {" deathAction not_set", 1030, "ProcessDeathActionToken(): invalid deathAction (not_set)"},
      {"deathMonitorAction", 1045,
       "ProcessDeathMonActionToken(): deathMonitorAction token not found"},
      {"deathMonitorAction restart", 1046,
       "ProcessDeathMonActionToken(): invalid deathMonitorAction (restart)"},
      {" deathMonitorAction", 1045,
       "ProcessDeathMonAppActionToken(): app deathMonitorAction token not found"},
      {" deathMonitorAction Halt", 1046,
       "ProcessDeathMonAppActionToken(): invalid app deathMonitorAction (Halt)"},
      {" arg \"", 1019, "ProcessArgToken(): no argument value",
       "KepGetQuotedString(): close quote missing"},
      {" env", 1020, "ProcessEnvToken(): env variable missing"},
      {" env HOME /root", 1021, "ProcessEnvToken(): invalid env value",
       "KepGetQuotedString(): quotes missing."},
      {" env HOME x\"y\"", 1021, "ProcessEnvToken(): invalid env value",
       "KepGetQuotedString(): open quote missing."},
      {"globalEnv", 1020, "ProcessGlobalEnvToken(): globalEnv variable missing"},
      {"globalEnv A \"x", 1029, "ProcessGlobalEnvToken(): invalid globalEnv value",
       "KepGetQuotedString(): close quote missing"},
  };
  for (const Case &c : cases) {
    const int line = c.line[0] == ' ' ? 2 : 1;
    EXPECT_EQ(Read((line == 2 ? "application a {\n" : "") + c.line + "\n"), c.status) << c.line;
    EXPECT_TRUE(Error(c.message, line)) << c.line << "\n" << log_.Dump();
    EXPECT_TRUE(!c.quoteMessage || log_.Contains(c.quoteMessage)) << c.line << "\n" << log_.Dump();
    EXPECT_TRUE(log_.Contains(FailedAt(line))) << log_.Dump();
    EXPECT_TRUE(KepGetAppList().empty()) << c.line;
  }
}

TEST_F(ConfigReader, TheReadEndsAtTheFailingLineAndKeepsWhatCameBefore) {
  EXPECT_EQ(Read("killDelay 5\n"
                 "application kept {\n}\n"
                 "#\n"
                 "\n"
                 "application lost {\n"
                 "  startLevel 101\n"
                 "killRetries 9\n"),
            1025);
  EXPECT_TRUE(log_.Contains(FailedAt(7)) && log_.Contains(LinesRead(7))) << log_.Dump();
  EXPECT_EQ(KepGetKillDelay(), 5u);
  EXPECT_EQ(KepGetKillRetries(), 2u);
  ASSERT_EQ(KepGetAppList().size(), 1u);
  EXPECT_EQ(App(0).name, "kept");
}

TEST_F(ConfigReader, AnUnterminatedBlockIsDroppedSilently) {
  EXPECT_EQ(Read("application done {\n}\napplication open {\n  deathAction none\n"), 0);
  ASSERT_EQ(KepGetAppList().size(), 1u);
  EXPECT_EQ(App(0).name, "done");
  for (const LogLine &line : log_.Lines()) EXPECT_NE(line.level, 1) << line.text;
}

// Empty and comment-only files read as the defaults. fgets reads 399
// characters a piece, so a longer line counts as several; a NUL ends what the
// reader sees of a piece.
TEST_F(ConfigReader, LinesAreCountedInPiecesAndBadBytesFail) {
  struct Case {
    std::string text;
    int status;
    int lines;  // read, and for a failure the failing line
  };
  const Case cases[] = {
      {"", 0, 0},
      {"# comment\n\n   \t\r\n#killDelay 9\n   #killDelay 9\n", 0, 5},
      {std::string(450, '#') + "\n", 0, 2},
      {"#" + std::string(398, ' ') + "bogus\n", 1027, 2},  // bogus is the 400th character
      {std::string(100000, '#') + "\n", 0, (100000 + 1 + 398) / 399},
      {std::string(100000, 'k'), 1027, 1},
      {std::string("\0}\n\xff\xff\n", 6), 1027, 2},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Read(c.text), c.status) << c.lines;
    EXPECT_TRUE(log_.Contains(LinesRead(c.lines))) << log_.Dump();
    EXPECT_TRUE(c.status == 0 || log_.Contains(FailedAt(c.lines))) << log_.Dump();
    EXPECT_EQ(KepGetKillDelay(), 15u);
    EXPECT_TRUE(KepGetAppList().empty() && KepGetGlobalEnvList().empty());
  }
}

TEST_F(ConfigReader, AFileThatCannotBeReadIsAnOpenFailure) {
  EXPECT_EQ(KepReadConfig(temp_.File("missing.conf").c_str()), 1005);
  // A directory opens for reading but cannot be read: no empty configuration.
  EXPECT_EQ(KepReadConfig(temp_.Path().c_str()), 1005);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): fopen(" + temp_.Path() +
                            ") failed, errno = " + std::to_string(EISDIR) + "."))
      << log_.Dump();
  EXPECT_FALSE(log_.Contains("lines read"));
  // Neither a FIFO nor an endless device may hang the start-up.
  const std::string fifo = temp_.File("fifo.conf");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(KepReadConfig(fifo.c_str()), 1005);
  EXPECT_EQ(KepReadConfig("/dev/zero"), 1005);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): /dev/zero is not a regular file.")) << log_.Dump();
  if (geteuid() != 0) {
    const std::string locked = temp_.Write("locked.conf", "killDelay 5\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(KepReadConfig(locked.c_str()), 1005);
    EXPECT_EQ(KepGetKillDelay(), 15u);
  }
}

TEST_F(ConfigReader, AReadErrorIsAFailureNotTheEndOfTheFile) {
  // Reading this process's memory at offset 0 fails with EIO.
  FILE *probe = fopen("/proc/self/mem", "r");
  if (probe == nullptr) GTEST_SKIP() << "no /proc/self/mem";
  char buffer[8];
  bool fails = fgets(buffer, sizeof buffer, probe) == nullptr && ferror(probe);
  fclose(probe);
  if (!fails) GTEST_SKIP() << "/proc/self/mem reads here";

  EXPECT_EQ(KepReadConfig("/proc/self/mem"), 1005);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): reading /proc/self/mem failed at line 1, errno = "))
      << log_.Dump();
  EXPECT_TRUE(log_.Contains("KepReadConfig(): parsing /proc/self/mem failed at line 1."));
  EXPECT_TRUE(log_.Contains("KepReadConfig(): 0 lines read from /proc/self/mem."));
}
