#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "kep_config.h"
#include "kep_test.h"

namespace {

// Every case reads a file of its own; synchronisation paths point into the
// temporary folder.
class ConfigReader : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    syncDir_ = temp_.File("sync");
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = syncDir_.c_str();
  }
  void TearDown() override {
    kepSyncFilesDir = savedSyncDir_;
    ResetModel();
  }

  // Writes text as the configuration file and reads it.
  int Read(const std::string &text) {
    path_ = temp_.Write("kep.conf", text);
    return KepReadConfig(path_.c_str());
  }
  // The position suffix of a message about line n of the file.
  std::string At(int n) const { return ", file: " + path_ + ", line: " + std::to_string(n) + "."; }
  const KepApp &App(size_t n) {
    auto it = KepGetAppList().begin();
    std::advance(it, n);
    return *it;
  }
  std::vector<std::string> Strings(const std::list<std::string> &list) {
    return {list.begin(), list.end()};
  }

  TempDir temp_;
  LogCapture log_;
  std::string path_;
  std::string syncDir_;
  const char *savedSyncDir_ = nullptr;
};

}  // namespace

TEST_F(ConfigReader, EmptyFileGivesDefaultsAndNoApplications) {
  EXPECT_EQ(Read(""), 0);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): 0 lines read from " + path_ + ".")) << log_.Dump();
  const KepSettings defaults;
  const KepSettings &now = KepMutableSettings();
  EXPECT_EQ(now.killDelay, defaults.killDelay);
  EXPECT_EQ(now.deathMonitorPeriod, defaults.deathMonitorPeriod);
  EXPECT_TRUE(KepGetAppList().empty());
  EXPECT_TRUE(KepGetGlobalEnvList().empty());
}

TEST_F(ConfigReader, CommentsAndBlankLinesAreIgnored) {
  EXPECT_EQ(Read("# comment\n\n   \t\r\n#killDelay 9\n   #killDelay 9\n"), 0);
  EXPECT_EQ(KepGetKillDelay(), 15u);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): 5 lines read from " + path_ + "."));
}

TEST_F(ConfigReader, AHashOnlyStartsACommentAsTheFirstWord) {
  EXPECT_EQ(Read("killDelay 5 #7\n"), 0);
  EXPECT_EQ(KepGetKillDelay(), 5u);
  ResetModel();
  EXPECT_EQ(Read("killDelay #5\n"), 1023);
  EXPECT_TRUE(log_.Contains("ProcessUintToken(): invalid uint value for token 1 (#5)" + At(1)));
}

TEST_F(ConfigReader, KeywordsIgnoreCaseButActionNamesDoNot) {
  EXPECT_EQ(Read("KILLDELAY 7\nkilldelay 8\nKillRetries 4\n"), 0);
  EXPECT_EQ(KepGetKillDelay(), 8u);
  EXPECT_EQ(KepGetKillRetries(), 4u);

  ResetModel();
  EXPECT_EQ(Read("application a {\n  deathAction Restart\n}\n"), 1030);
  EXPECT_TRUE(log_.Contains("ProcessDeathActionToken(): invalid deathAction (Restart)" + At(2)));
  EXPECT_TRUE(KepGetAppList().empty());

  ResetModel();
  EXPECT_EQ(Read("APPLICATION a {\n  DEATHACTION restart\n}\n"), 0);
  ASSERT_EQ(KepGetAppList().size(), 1u);
  EXPECT_EQ(App(0).deathAction, KEP_DEATH_ACTION_RESTART);
}

// Every unsigned keyword: its range, token number and codes.
TEST_F(ConfigReader, UnsignedKeywordsEnforceTheirRanges) {
  struct Case {
    const char *keyword;
    bool inApplication;
    int token;
    uint32_t minimum, maximum;
    uint32_t (*get)();
  };
  const Case cases[] = {
      {"killDelay", false, 1, 2, 60, KepGetKillDelay},
      {"killRetries", false, 2, 0, 10, KepGetKillRetries},
      {"wdTimeout", false, 5, 0, 300, KepGetWdTimeout},
      {"startSyncTime", false, 6, 1, 20, KepGetStartSyncTime},
      {"initSyncTime", false, 7, 1, 60, KepGetInitSyncTime},
      {"stopSyncTime", false, 8, 1, 60, KepGetStopSyncTime},
      {"deathMonitorPeriod", false, 10, 10, 3600, KepGetDeathMonitorPeriod},
      {"deathMonitorMaxDeath", false, 11, 2, 100, KepGetDeathMonitorMaxDeath},
      {"startLevel", true, 14, 0, 100, [] { return KepGetAppList().front().startLevel; }},
  };
  for (const Case &c : cases) {
    const int line = c.inApplication ? 2 : 1;
    const std::string token = "ProcessUintToken(): ";
    auto run = [&](const std::string &value) {
      ResetModel();
      log_.Clear();
      std::string text = std::string(c.keyword) + (value.empty() ? "" : " " + value) + "\n";
      if (c.inApplication) text = "application app {\n" + text + "}\n";
      return Read(text);
    };
    SCOPED_TRACE(c.keyword);
    for (uint32_t good : {c.minimum, c.maximum}) {
      EXPECT_EQ(run(std::to_string(good)), 0) << log_.Dump();
      EXPECT_EQ(c.get(), good);
    }
    EXPECT_EQ(run(std::to_string(c.minimum) + "s"), 0);  // characters after the digits are ignored
    EXPECT_EQ(c.get(), c.minimum);
    EXPECT_EQ(run("+" + std::to_string(c.maximum)), 0);
    EXPECT_EQ(c.get(), c.maximum);
    if (c.minimum > 0) {
      EXPECT_EQ(run(std::to_string(c.minimum - 1)), 1024);
      EXPECT_TRUE(log_.Contains(token + "uint value for token " + std::to_string(c.token) + " (" +
                                std::to_string(c.minimum - 1) + ") < minimum (" +
                                std::to_string(c.minimum) + ")" + At(line)))
          << log_.Dump();
    }
    EXPECT_EQ(run(std::to_string(c.maximum + 1)), 1025);
    EXPECT_TRUE(log_.Contains(token + "uint value for token " + std::to_string(c.token) + " (" +
                              std::to_string(c.maximum + 1) + ") > maximum (" +
                              std::to_string(c.maximum) + ")" + At(line)))
        << log_.Dump();
    // A minus sign wraps into a large number; so does a number beyond 32 bits.
    for (const char *huge : {"-1", "4294967296", "99999999999999999999"}) {
      EXPECT_EQ(run(huge), 1025) << huge;
      EXPECT_TRUE(log_.Contains(" (4294967295) > maximum")) << huge << "\n" << log_.Dump();
    }
    EXPECT_EQ(run("x1"), 1023);
    EXPECT_TRUE(log_.Contains(token + "invalid uint value for token " + std::to_string(c.token) +
                              " (x1)" + At(line)));
    EXPECT_EQ(run(""), 1022);
    EXPECT_TRUE(log_.Contains(token + "uint argument for token " + std::to_string(c.token) +
                              " not found" + At(line)));
  }
}

TEST_F(ConfigReader, RepeatedValuesOverwriteAndListsAppend) {
  EXPECT_EQ(Read("killDelay 5\nkillDelay 6\nglobalEnv A \"1\"\nglobalEnv A \"2\"\n"
                 "application a {\n arg \"x\"\n arg \"y\"\n startLevel 3\n startLevel 4\n}\n"),
            0);
  EXPECT_EQ(KepGetKillDelay(), 6u);
  EXPECT_EQ(Strings(KepGetGlobalEnvList()), (std::vector<std::string>{"A=1", "A=2"}));
  EXPECT_EQ(Strings(App(0).argList), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(App(0).startLevel, 4u);
}

TEST_F(ConfigReader, FlagsIgnoreAnyWordBehindThem) {
  EXPECT_EQ(Read("disableReboot false\ndisableReset 0\n"
                 "application a {\n doNotDeathMonitor no\n}\n"),
            0);
  EXPECT_EQ(KepGetDisableReboot(), 1);
  EXPECT_EQ(KepGetDisableReset(), 1);
  EXPECT_EQ(App(0).doNotDeathMonitor, 1);
}

TEST_F(ConfigReader, ApplicationNeedsANameAndASeparateBrace) {
  EXPECT_EQ(Read("application /usr/bin/app {\n}\n"), 0);
  ASSERT_EQ(KepGetAppList().size(), 1u);
  const KepApp &app = App(0);
  EXPECT_EQ(app.name, "/usr/bin/app");
  EXPECT_EQ(app.state, KEP_APP_STATE_CONFIGURED);
  EXPECT_EQ(app.deathAction, KEP_DEATH_ACTION_INVALID);
  EXPECT_EQ(app.deathMonitorAction, KEP_DEATH_ACTION_NOT_SET);
  EXPECT_FALSE(app.startFile || app.initFile || app.stopFile || app.wdFile);
  EXPECT_TRUE(app.envList.empty());

  struct Case {
    const char *text;
    int status;
    const char *message;
  };
  const Case cases[] = {
      {"application app{\n", 1016, "ProcessApplicationToken(): opening brace not found"},
      {"application app\n", 1016, "ProcessApplicationToken(): opening brace not found"},
      {"application app {{\n", 1016, "ProcessApplicationToken(): opening brace not found"},
      {"application\n", 1017, "ProcessApplicationToken(): application name not found"},
  };
  for (const Case &c : cases) {
    ResetModel();
    log_.Clear();
    EXPECT_EQ(Read(c.text), c.status) << c.text;
    EXPECT_TRUE(log_.Contains(std::string(c.message) + At(1))) << log_.Dump();
    EXPECT_TRUE(KepGetAppList().empty());
  }
}

TEST_F(ConfigReader, EachScopeAcceptsOnlyItsOwnKeywords) {
  EXPECT_EQ(Read("application a {\nkillDelay 5\n}\n"), 1028);
  EXPECT_TRUE(log_.Contains("ProcessConfigLine(): Invalid application token (\"killDelay\") found" +
                            At(2)));
  EXPECT_TRUE(KepGetAppList().empty());

  struct Case {
    const char *text;
    const char *word;
  };
  for (const Case &c : {Case{"}\n", "}"}, Case{"deathAction none\n", "deathAction"},
                        Case{"startLevel 1\n", "startLevel"}, Case{"\xff\xfe 1\n", "\xff\xfe"}}) {
    ResetModel();
    log_.Clear();
    EXPECT_EQ(Read(c.text), 1027) << c.text;
    EXPECT_TRUE(log_.Contains("ProcessConfigLine(): Invalid token (\"" + std::string(c.word) +
                              "\") found" + At(1)))
        << log_.Dump();
  }
  ResetModel();
  EXPECT_EQ(Read("application a {\napplication b {\n"), 1028);
}

TEST_F(ConfigReader, DeathActionsAcceptTheirNamesOnly) {
  struct Case {
    const char *line;
    bool inApplication;
    int status;
    const char *message;
  };
  const Case cases[] = {
      {"deathAction", true, 1018, "ProcessDeathActionToken(): deathAction token not found"},
      {"deathAction not_set", true, 1030,
       "ProcessDeathActionToken(): invalid deathAction (not_set)"},
      {"deathAction invalid", true, 1030,
       "ProcessDeathActionToken(): invalid deathAction (invalid)"},
      {"deathMonitorAction", false, 1045,
       "ProcessDeathMonActionToken(): deathMonitorAction token not found"},
      {"deathMonitorAction restart", false, 1046,
       "ProcessDeathMonActionToken(): invalid deathMonitorAction (restart)"},
      {"deathMonitorAction", true, 1045,
       "ProcessDeathMonAppActionToken(): app deathMonitorAction token not found"},
      {"deathMonitorAction Halt", true, 1046,
       "ProcessDeathMonAppActionToken(): invalid app deathMonitorAction (Halt)"},
  };
  for (const Case &c : cases) {
    ResetModel();
    log_.Clear();
    std::string text = std::string(c.line) + "\n";
    if (c.inApplication) text = "application a {\n" + text + "}\n";
    EXPECT_EQ(Read(text), c.status) << c.line;
    EXPECT_TRUE(log_.Contains(std::string(c.message) + At(c.inApplication ? 2 : 1))) << log_.Dump();
  }

  ResetModel();
  EXPECT_EQ(Read("deathMonitorAction reboot\n"
                 "application a {\n deathAction none\n deathMonitorAction halt\n}\n"
                 "application b {\n deathAction halt\n deathMonitorAction reset\n}\n"),
            0);
  EXPECT_EQ(KepGetDeathMonitorAction(), KEP_DEATH_ACTION_REBOOT);
  EXPECT_EQ(App(0).deathAction, KEP_DEATH_ACTION_NONE);
  EXPECT_EQ(App(0).deathMonitorAction, KEP_DEATH_ACTION_HALT);
  EXPECT_EQ(App(1).deathAction, KEP_DEATH_ACTION_HALT);
  EXPECT_EQ(App(1).deathMonitorAction, KEP_DEATH_ACTION_RESET);
}

TEST_F(ConfigReader, SyncFilesDefaultToTheBaseNameAndGoIntoTheEnvironment) {
  EXPECT_EQ(Read("application /usr/bin/app {\n"
                 "  env HOME \"/root\"\n"
                 "  wdEnable /tmp/x/wd\n"
                 "  startSync\n"
                 "}\n"
                 "application other {\n"
                 "  stopSync\n  initSync\t\r\n"
                 "}\n"),
            0);
  const KepApp &app = App(0);
  EXPECT_EQ(app.startFile, syncDir_ + "/app-start");
  EXPECT_EQ(app.wdFile, "/tmp/x/wd");
  EXPECT_FALSE(app.initFile.has_value());
  EXPECT_EQ(Strings(app.envList),
            (std::vector<std::string>{"HOME=/root", "KEP_START_FILE=" + syncDir_ + "/app-start",
                                      "KEP_WD_FILE=/tmp/x/wd"}));
  const KepApp &other = App(1);
  EXPECT_EQ(Strings(other.envList),
            (std::vector<std::string>{"KEP_INIT_FILE=" + syncDir_ + "/other-init",
                                      "KEP_STOP_FILE=" + syncDir_ + "/other-stop"}));
}

TEST_F(ConfigReader, BlocksAreListedInFileOrderWithTheirIndex) {
  EXPECT_EQ(Read("application b {\n}\n# between\napplication a {\n}\napplication b {\n}\n"), 0);
  ASSERT_EQ(KepGetAppList().size(), 3u);
  const char *names[] = {"b", "a", "b"};
  uint32_t index = 0;
  for (const KepApp &app : KepGetAppList()) {
    EXPECT_EQ(app.name, names[index]);
    EXPECT_EQ(app.index, index);
    EXPECT_EQ(app.state, KEP_APP_STATE_CONFIGURED);
    ++index;
  }
}

TEST_F(ConfigReader, ArgSplitsTheQuotedTextIntoWords) {
  struct Case {
    const char *line;
    int status;
    std::vector<std::string> words;
    const char *message;
  };
  const Case cases[] = {
      {"arg \"-a 1 -b\"", 0, {"-a", "1", "-b"}, nullptr},
      {"arg \t \"a\" \"b\" trailing", 0, {"a\"", "\"b"}, nullptr},
      {"arg \"  spaced\tout  \"", 0, {"spaced", "out"}, nullptr},
      {"arg \"\"", 0, {}, nullptr},
      {"arg \"", 1019, {}, "KepGetQuotedString(): close quote missing"},
      {"arg", 1019, {}, "KepGetQuotedString(): quotes missing."},
      {"arg -a \"1\"", 1019, {}, "KepGetQuotedString(): open quote missing."},
  };
  for (const Case &c : cases) {
    ResetModel();
    log_.Clear();
    int status = Read(std::string("application a {\n") + c.line + "\n}\n");
    EXPECT_EQ(status, c.status) << c.line;
    if (status == 0) {
      EXPECT_EQ(Strings(App(0).argList), c.words) << c.line;
    } else {
      EXPECT_TRUE(log_.Contains(c.message)) << log_.Dump();
      EXPECT_TRUE(log_.Contains("ProcessArgToken(): no argument value" + At(2))) << log_.Dump();
    }
  }
}

TEST_F(ConfigReader, EnvTakesANameAndQuotedText) {
  struct Case {
    const char *line;
    int status;
    std::string entry;  // or the message before the handler's own
    const char *handlerMessage;
  };
  const Case cases[] = {
      {"env HOME \"/root\"", 0, "HOME=/root", nullptr},
      {"env X \"a  b\tc\"", 0, "X=a  b\tc", nullptr},
      {"env Q \"say \"hi\"\"", 0, "Q=say \"hi\"", nullptr},
      {"env E \"\"", 0, "E=", nullptr},
      {"env", 1020, "", "ProcessEnvToken(): env variable missing"},
      {"env HOME", 1021, "KepGetQuotedString(): quotes missing.",
       "ProcessEnvToken(): invalid env value"},
      {"env HOME /root", 1021, "KepGetQuotedString(): quotes missing.",
       "ProcessEnvToken(): invalid env value"},
      {"env HOME x\"y\"", 1021, "KepGetQuotedString(): open quote missing.",
       "ProcessEnvToken(): invalid env value"},
  };
  for (const Case &c : cases) {
    ResetModel();
    log_.Clear();
    int status = Read(std::string("application a {\n") + c.line + "\n}\n");
    EXPECT_EQ(status, c.status) << c.line;
    if (status == 0) {
      EXPECT_EQ(Strings(App(0).envList), std::vector<std::string>{c.entry}) << c.line;
    } else {
      if (!c.entry.empty()) {
        EXPECT_TRUE(log_.Contains(c.entry)) << log_.Dump();
      }
      EXPECT_TRUE(log_.Contains(c.handlerMessage + At(2))) << log_.Dump();
    }
  }
}

TEST_F(ConfigReader, GlobalEnvAppendsToTheGlobalList) {
  EXPECT_EQ(Read("globalEnv PATH \"/bin:/usr/bin\"\nglobalEnv LANG \"C\"\n"), 0);
  EXPECT_EQ(Strings(KepGetGlobalEnvList()),
            (std::vector<std::string>{"PATH=/bin:/usr/bin", "LANG=C"}));

  ResetModel();
  EXPECT_EQ(Read("globalEnv\n"), 1020);
  EXPECT_TRUE(log_.Contains("ProcessGlobalEnvToken(): globalEnv variable missing" + At(1)));
  ResetModel();
  EXPECT_EQ(Read("globalEnv A \"x\nglobalEnv B b\n"), 1029);
  EXPECT_TRUE(log_.Contains("ProcessGlobalEnvToken(): invalid globalEnv value" + At(1)));
}

TEST_F(ConfigReader, AFailingLineEndsTheReadAndIsReported) {
  EXPECT_EQ(Read("killDelay 5\n"
                 "application kept {\n}\n"
                 "#\n"
                 "\n"
                 "application lost {\n"
                 "  startLevel 101\n"
                 "killRetries 9\n"),
            1025);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): parsing " + path_ + " failed at line 7."));
  EXPECT_TRUE(log_.Contains("KepReadConfig(): 7 lines read from " + path_ + "."));
  // What came before the failing line stays; the open block and the rest do not.
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

TEST_F(ConfigReader, MessagesUseTheConfigUnitAndTheirLevels) {
  EXPECT_EQ(Read("killDelay 1\n"), 1024);
  ASSERT_FALSE(log_.Lines().empty());
  const LogLine &first = log_.Lines().front();
  EXPECT_EQ(first.text, "KepReadConfig(): reading config file " + path_ + ".");
  EXPECT_EQ(first.level, 3);
  EXPECT_EQ(first.notice, 1);
  for (const LogLine &line : log_.Lines()) {
    EXPECT_EQ(line.file, "KepConfig");
    if (line.text.find("lines read") != std::string::npos) {
      EXPECT_EQ(line.level, 3);
      EXPECT_EQ(line.notice, 0);
    } else if (&line != &first) {
      EXPECT_EQ(line.level, 1) << line.text;
      EXPECT_EQ(line.notice, 0) << line.text;
    }
  }
}

TEST_F(ConfigReader, LongLinesAreReadIn399CharacterPieces) {
  // 450 characters and a line feed: two pieces, two lines.
  EXPECT_EQ(Read(std::string(450, '#') + "\n"), 0);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): 2 lines read from " + path_ + ".")) << log_.Dump();

  // The second piece starts with the 400th character, here a word of its own.
  ResetModel();
  log_.Clear();
  EXPECT_EQ(Read("#" + std::string(398, ' ') + "bogus\n"), 1027);
  EXPECT_TRUE(log_.Contains("Invalid token (\"bogus\") found" + At(2))) << log_.Dump();

  // A line of 399 characters and its line feed: the last piece holds only the line feed.
  ResetModel();
  log_.Clear();
  EXPECT_EQ(Read("killDelay 9" + std::string(388, ' ') + "\nkillRetries 3\n"), 0);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): 3 lines read from " + path_ + "."));
  EXPECT_EQ(KepGetKillDelay(), 9u);
  EXPECT_EQ(KepGetKillRetries(), 3u);

  ResetModel();
  log_.Clear();
  EXPECT_EQ(Read(std::string(100000, '#') + "\n"), 0);
  const int pieces = (100000 + 1 + 398) / 399;
  EXPECT_TRUE(log_.Contains("KepReadConfig(): " + std::to_string(pieces) + " lines read"));

  ResetModel();
  log_.Clear();
  EXPECT_EQ(Read(std::string(100000, 'k')), 1027);
  EXPECT_TRUE(log_.Contains("failed at line 1."));
}

TEST_F(ConfigReader, BytesAfterANulInALineAreNotSeen) {
  const std::string text("killDelay 5\0killRetries 9\nkillRetries 3\n", 39);
  ASSERT_EQ(text.size(), 39u);
  EXPECT_EQ(Read(text), 0);
  EXPECT_EQ(KepGetKillDelay(), 5u);
  EXPECT_EQ(KepGetKillRetries(), 3u);
  EXPECT_TRUE(log_.Contains("2 lines read"));

  ResetModel();
  EXPECT_EQ(Read(std::string("\0\0\0\n\xff\xff\n", 7)), 1027);
  EXPECT_TRUE(log_.Contains("failed at line 2."));
}

TEST_F(ConfigReader, AFileThatCannotBeReadIsAnOpenFailure) {
  EXPECT_EQ(KepReadConfig(nullptr), 1000);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): NULL file received."));

  const std::string missing = temp_.File("missing.conf");
  EXPECT_EQ(KepReadConfig(missing.c_str()), 1005);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): fopen(" + missing +
                            ") failed, errno = " + std::to_string(ENOENT) + "."));

  // A directory opens for reading but cannot be read: no empty configuration.
  log_.Clear();
  EXPECT_EQ(KepReadConfig(temp_.Path().c_str()), 1005);
  EXPECT_TRUE(log_.Contains("KepReadConfig(): fopen(" + temp_.Path() +
                            ") failed, errno = " + std::to_string(EISDIR) + "."))
      << log_.Dump();
  EXPECT_FALSE(log_.Contains("lines read"));

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

TEST(ConfigQuotedString, ReturnsTheTextBetweenTheFirstAndLastQuote) {
  LogCapture log;
  EXPECT_EQ(KepGetQuotedString(nullptr), nullptr);
  EXPECT_TRUE(log.Contains("KepGetQuotedString(): NULL argument."));
  char text[] = " \t\"a \"b\" c\" tail\n";
  char *value = KepGetQuotedString(text);
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "a \"b\" c");
}

TEST(ConfigPushEnv, JoinsNameAndValueAndRejectsNulls) {
  std::list<std::string> list;
  EXPECT_EQ(KepPushEnv(nullptr, "v", &list), 1000);
  EXPECT_EQ(KepPushEnv("N", nullptr, &list), 1000);
  EXPECT_EQ(KepPushEnv("N", "v", nullptr), 1000);
  EXPECT_EQ(KepPushEnv("N", "v", &list), 0);
  EXPECT_EQ(KepPushEnv("M", "", &list), 0);
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()),
            (std::vector<std::string>{"N=v", "M="}));
}
