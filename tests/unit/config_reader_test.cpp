// The configuration reader, seen through the model it fills, the dump of that
// model and what a failing or unreadable file logs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "kep_config.h"
#include "kep_test.h"

namespace {

using Strings = std::vector<std::string>;

// The reader only names synchronisation files: they go to "/sync".
class Config : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = "/sync";
  }
  void TearDown() override {
    kepSyncFilesDir = savedSyncDir_;
    ResetModel();
  }
  // Writes text as the configuration file and reads it into a clean model.
  int Read(const std::string &text) {
    ResetModel();
    log_.Clear();
    return KepReadConfig(temp_.Write("kep.conf", text).c_str());
  }
  Strings Errors() const {
    Strings errors;
    for (const LogLine &l : log_.Lines())
      if (l.level == 1) errors.push_back(l.file + ": " + l.text);
    return errors;
  }
  // The errors of a read that fails at line n: those before (a quoted text's),
  // the handler's message about the line, then the reader's.
  Strings Failure(Strings errors, const std::string &message, int n) const {
    const std::string line = std::to_string(n);
    errors.push_back(message + ", file: " + path_ + ", line: " + line + ".");
    errors.push_back("KepReadConfig(): parsing " + path_ + " failed at line " + line + ".");
    for (std::string &error : errors) error = "KepConfig: " + error;
    return errors;
  }

  TempDir temp_;
  LogCapture log_;
  const std::string path_ = temp_.File("kep.conf");
  const char *savedSyncDir_ = nullptr;
};

}  // namespace

// Keywords in any letter case, notes behind values, flags that ignore what
// follows them, quoted texts and default synchronisation files, as the dump
// shows them; the second block only counts. Each flag sets its own setting.
TEST_F(Config, AValidFileFillsTheModelAsTheDumpShowsIt) {
  ASSERT_EQ(Read("KILLDELAY 7s\nkillRetries 4 #5\ndisableReboot false\n"
                 "deathMonitorAction reboot\nglobalEnv Q \"say \"hi\"\"\n"
                 "application /usr/bin/app {\n"
                 "  DEATHACTION restart\n  doNotDeathMonitor no\n  deathMonitorAction halt\n"
                 "  startLevel 100\n  env HOME \"/root\"\n  env X \"a  b\"\n  arg \"-a 1\"\n"
                 "  arg \t \"a\" \"b\"\n  arg \"\"\n  wdEnable /x/wd\n  stopSync\n"
                 "  initSync\t\r\n  startSync\n}\n"
                 "   # a note\n"
                 "application other {\n}\n"),
            0)
      << log_.Dump();
  ASSERT_EQ(KepGetAppList().size(), 2u);
  EXPECT_EQ(KepGetAppList().back().name + std::to_string(KepGetAppList().back().index), "other1");
  KepGetAppList().pop_back();
  KepGetAppList().front().exitStatus = -1;  // as a run-time field might be
  KepGetAppList().front().sigtermTime = {1015, 34};
  log_.Clear();
  KepLogSettings();
  KepLogGlobalEnv();
  KepLogAppData(1, 1);
  std::string dump;
  for (const LogLine &line : log_.Lines()) {
    EXPECT_TRUE(line.level == 3 && line.notice == 0 && line.file == "KepConfig") << line.text;
    dump += line.text + "\n";
  }
  EXPECT_EQ(dump,
            "Configuration Settings:\n   killDelay:      7\n   killRetries:    4\n"
            "   wdTimeout:      60\n   startSyncTime:  5\n   initSyncTime:   15\n"
            "   stopSyncTime:   20\n   disableReboot:  true\n   disableReset:   false\n"
            "   deathMonAction: reboot\n   deathMonPeriod: 600\n   deathMonCount:  3\n"
            "Global environment list (size = 1):\n   1: [Q=say \"hi\"]\n"
            "Log application data (size = 1):\n   1: /usr/bin/app\n"
            "      state: Configured (2)\n      disabled: false\n      pid: 0\n"
            "      signalNum: 0\n      exitStatus: 4294967295\n      startCount: 0\n"
            "      sigtermTime: 1015.000034\n      sigtermCount: 0\n      sigkillSent: false\n"
            "      sigkillTime: 0.000000\n      execTime: 0.000000\n"
            "      deathAction: restart (3)\n      deathMonitorAction: halt (6)\n"
            "      doNotDeathMonitor: true\n      startLevel: 100\n      index: 0\n"
            "      startFile: /sync/app-start\n      initFile: /sync/app-init\n"
            "      stopFile: /sync/app-stop\n      wdFile: /x/wd\n"
            "      argList (size = 4):\n       1: [-a]\n       2: [1]\n       3: [a\"]\n"
            "       4: [\"b]\n      envList (size = 6):\n       1: [HOME=/root]\n"
            "       2: [X=a  b]\n       3: [KEP_START_FILE=/sync/app-start]\n"
            "       4: [KEP_INIT_FILE=/sync/app-init]\n       5: [KEP_STOP_FILE=/sync/app-stop]\n"
            "       6: [KEP_WD_FILE=/x/wd]\n");
  ASSERT_EQ(Read("disableReset\n"), 0);
  EXPECT_TRUE(KepGetDisableReset() && !KepGetDisableReboot());
}

// Every unsigned keyword at and beyond the ends of its range; a failing value
// leaves the setting as it was. Characters behind the digits are ignored; a
// minus sign wraps into a large number, and a number beyond 32 bits saturates
// as on the device.
TEST_F(Config, UnsignedKeywordsEnforceTheirRanges) {
  KepSettings &s = KepMutableSettings();
  const struct {
    const char *keyword;
    int token;
    uint32_t minimum, maximum, *value;  // null: the record's startLevel
  } keywords[] = {
      {"killDelay", 1, 2, 60, &s.killDelay},
      {"killRetries", 2, 0, 10, &s.killRetries},
      {"wdTimeout", 5, 0, 300, &s.wdTimeout},
      {"startSyncTime", 6, 1, 20, &s.startSyncTime},
      {"initSyncTime", 7, 1, 60, &s.initSyncTime},
      {"stopSyncTime", 8, 1, 60, &s.stopSyncTime},
      {"deathMonitorPeriod", 10, 10, 3600, &s.deathMonitorPeriod},
      {"deathMonitorMaxDeath", 11, 2, 100, &s.deathMonitorMaxDeath},
      {"startLevel", 14, 0, 100, nullptr},
  };
  for (const auto &k : keywords) {
    const std::string min = std::to_string(k.minimum), max = std::to_string(k.maximum);
    const std::string below = std::to_string(k.minimum - 1), above = std::to_string(k.maximum + 1);
    const struct {
      std::string word;
      int status;
      std::string value;  // read, or shown in the message
    } cases[] = {
        {min + "s", 0, min},
        {"+" + max, 0, max},
        {below, k.minimum > 0 ? 1024 : 1025, k.minimum > 0 ? below : "4294967295"},
        {above, 1025, above},
        {"1000000000", 1025, "1000000000"},
        {"4294967296", 1025, "4294967295"},
        {"99999999999999999999", 1025, "4294967295"},
        {"x1", 1023, "x1"},
        {"", 1022, ""},
    };
    for (const auto &c : cases) {
      const std::string line = k.keyword + (" " + c.word) + "\n", token = std::to_string(k.token);
      ResetModel();
      const uint32_t *value = k.value, before = value ? *value : 0;  // the default
      EXPECT_EQ(Read(value ? line : "application a {\n" + line + "}\n"), c.status) << line;
      if (value == nullptr && !KepGetAppList().empty()) value = &KepGetAppList().front().startLevel;
      const std::string uint = "ProcessUintToken(): uint value for token " + token + " (" + c.value;
      const std::string message =
          c.status == 1022   ? "ProcessUintToken(): uint argument for token " + token + " not found"
          : c.status == 1023 ? "ProcessUintToken(): invalid uint value for token " + token + " (x1)"
          : c.status == 1024 ? uint + ") < minimum (" + min + ")"
                             : uint + ") > maximum (" + max + ")";
      if (c.status == 0) {
        EXPECT_EQ(std::to_string(*value), c.value) << line;
      } else {
        EXPECT_EQ(Errors(), Failure({}, message, k.value ? 1 : 2)) << line;
        EXPECT_TRUE(value == nullptr || *value == before) << line;
      }
    }
  }
}

// A file is read in pieces of 399 characters, so a longer line counts as
// several; a NUL ends what the reader sees of a piece. The first failing line
// ends the read; what came before it stays. A block still open at the end is
// dropped without a message.
TEST_F(Config, EachFileGivesItsStatusLinesAndMessages) {
  const std::string a = "application a {\n", line = "ProcessConfigLine(): ";
  const std::string death = "ProcessDeathActionToken(): ", env = "ProcessEnvToken(): ";
  const std::string monitor = "ProcessDeathMonActionToken(): ", quote = "KepGetQuotedString(): ";
  const std::string appMonitor = "ProcessDeathMonAppActionToken(): ";
  const struct {
    std::string text;
    int status;
    int lines;  // read; for a failure, the failing one
    std::string message = "";
    std::string quoted = "";  // KepGetQuotedString's message before
    size_t apps = 0;
  } cases[] = {
      {"", 0, 0},
      {"# comment\n\n   \t\r\n#killDelay 9\n   #killDelay 9\n", 0, 5},
      {std::string(450, '#') + "\n", 0, 2},
      {"#" + std::string(398, ' ') + "bogus\n", 1027, 2, line + "Invalid token (\"bogus\") found"},
      {std::string("\0}\n\xff\n", 5), 1027, 2, line + "Invalid token (\"\xff\") found"},
      {"}", 1027, 1, line + "Invalid token (\"}\") found"},
      {a + "killDelay 5", 1028, 2, line + "Invalid application token (\"killDelay\") found"},
      {"killDelay #5", 1023, 1, "ProcessUintToken(): invalid uint value for token 1 (#5)"},
      {"application app{", 1016, 1, "ProcessApplicationToken(): opening brace not found"},
      {"application", 1017, 1, "ProcessApplicationToken(): application name not found"},
      {a + "deathAction", 1018, 2, death + "deathAction token not found"},
      {a + "deathAction Restart", 1030, 2, death + "invalid deathAction (Restart)"},
      {a + "deathAction not_set", 1030, 2, death + "invalid deathAction (not_set)"},
      {"deathMonitorAction", 1045, 1, monitor + "deathMonitorAction token not found"},
      {"deathMonitorAction restart", 1046, 1, monitor + "invalid deathMonitorAction (restart)"},
      {a + "deathMonitorAction", 1045, 2, appMonitor + "app deathMonitorAction token not found"},
      {a + "deathMonitorAction Halt", 1046, 2,
       appMonitor + "invalid app deathMonitorAction (Halt)"},
      {a + "arg \"", 1019, 2, "ProcessArgToken(): no argument value",
       quote + "close quote missing"},
      {a + "env", 1020, 2, env + "env variable missing"},
      {a + "env HOME /root", 1021, 2, env + "invalid env value", quote + "quotes missing."},
      {a + "env HOME x\"y\"", 1021, 2, env + "invalid env value", quote + "open quote missing."},
      {"globalEnv", 1020, 1, "ProcessGlobalEnvToken(): globalEnv variable missing"},
      {"globalEnv A \"x", 1029, 1, "ProcessGlobalEnvToken(): invalid globalEnv value",
       quote + "close quote missing"},
      {a + "}\n#\n\napplication b {\n startLevel 101\nkillRetries 9\n", 1025, 6,
       "ProcessUintToken(): uint value for token 14 (101) > maximum (100)", "", 1},
      {a + "}\napplication open {\n deathAction none\n", 0, 4, "", "", 1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Read(c.text), c.status) << c.text;
    const Strings quoted = c.quoted.empty() ? Strings{} : Strings{c.quoted};
    EXPECT_EQ(Errors(), c.status ? Failure(quoted, c.message, c.lines) : Strings{}) << c.text;
    const std::string read = std::to_string(c.lines) + " lines read from " + path_ + ".";
    EXPECT_EQ(log_.Count("KepReadConfig(): " + read), 1u) << c.text;
    EXPECT_EQ(KepGetAppList().size(), c.apps) << c.text;
  }
}

// What is not a readable regular file fails with 1005 before any line: a FIFO
// or an endless device must not hang the start-up, and a directory is not an
// empty configuration. A read error is no end of the file either.
TEST_F(Config, AFileThatCannotBeReadIsAnOpenFailure) {
  const std::string fifo = temp_.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path, message;
  } cases[] = {
      {temp_.File("none"), "fopen(" + temp_.File("none") + ") failed, errno = 2."},
      {temp_.Path(), "fopen(" + temp_.Path() + ") failed, errno = 21."},
      {fifo, fifo + " is not a regular file."},
      {"/dev/zero", "/dev/zero is not a regular file."},
      // Reading this process's memory at offset 0 fails with EIO.
      {"/proc/self/mem", "reading /proc/self/mem failed at line 1, errno = 5."},
  };
  for (const auto &c : cases) {
    log_.Clear();
    EXPECT_EQ(KepReadConfig(c.path.c_str()), 1005) << c.path;
    EXPECT_EQ(Errors().at(0), "KepConfig: KepReadConfig(): " + c.message);
    EXPECT_EQ(log_.Count("lines read"), c.path == "/proc/self/mem" ? 1u : 0u) << log_.Dump();
  }
}
