// The configuration reader, through the dump of the model it fills and what a
// bad file logs; kep-check, which warns about files that read fine but fail.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "check.h"
#include "kep_config.h"
#include "kep_test.h"

namespace {

using Strings = std::vector<std::string>;

class Config : public ::testing::Test {
 protected:
  void TearDown() override { ResetModel(); }
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
};

}  // namespace

// Keywords in any letter case, notes behind values, flags that ignore what
// follows them, quoted texts and default synchronisation files, as the dump
// shows them. What an application runs as is shown only where it is
// configured (a limit repeated for one resource replaces it). Each flag sets
// its own setting.
TEST_F(Config, AValidFileFillsTheModelAsTheDumpShowsIt) {
  Restore<const char *> syncDir(kepSyncFilesDir, "/sync");  // the reader only names the files
  const int status = Read(
      "KILLDELAY 7s\nkillRetries 4 #5\ndisableReboot false\ndeathMonitorAction reboot\n"
      "globalEnv Q \"say \"hi\"\"\napplication /usr/bin/app {\n  DEATHACTION restart\n"
      "  doNotDeathMonitor no\n  deathMonitorAction halt\n  startLevel 100\n  env HOME \"/root\"\n"
      "  env X \"a  b\"\n  arg \"-a 1\"\n  arg \t \"a\" \"b\"\n  arg \"\"\n  wdEnable /x/wd\n"
      "  stopSync\n  initSync\t\r\n  startSync\n}\n   #killDelay 9\n \t\r\n"
      "application other {\n USER kepuser\n group 3000\n umask 27\n workDir /srv\n"
      " limit nofile 64 #files\n limit core unlimited\n limit nofile 32 64\n limit CPU 0 "
      "unlimited\n"
      " nice -20\n noNewPrivileges\n capabilities \"CAP_NET_RAW cap_chown\"\n}\n");
  ASSERT_EQ(status, 0) << log_.Dump();
  log_.Clear();
  KepLogSettings();
  KepLogGlobalEnv();
  KepLogAppData(1, 0);
  std::string dump;
  for (const LogLine &line : log_.Lines()) {
    EXPECT_TRUE(line.level == 3 && line.notice == 0 && line.file == "KepConfig") << line.text;
    dump += line.text + "\n";
  }
  EXPECT_EQ(
      dump,
      "Configuration Settings:\n   killDelay:      7\n   killRetries:    4\n"
      "   wdTimeout:      60\n   startSyncTime:  5\n   initSyncTime:   15\n"
      "   stopSyncTime:   20\n   disableReboot:  true\n   disableReset:   false\n"
      "   deathMonAction: reboot\n   deathMonPeriod: 600\n   deathMonCount:  3\n"
      "Global environment list (size = 1):\n   1: [Q=say \"hi\"]\n"
      "Log application data (size = 2):\n   1: /usr/bin/app\n"
      "      state: Configured (2)\n      disabled: false\n      pid: 0\n"
      "      deathAction: restart (3)\n      deathMonitorAction: halt (6)\n"
      "      doNotDeathMonitor: true\n      startLevel: 100\n      index: 0\n"
      "      startFile: /sync/app-start\n      initFile: /sync/app-init\n"
      "      stopFile: /sync/app-stop\n      wdFile: /x/wd\n"
      "      argList (size = 4):\n       1: [-a]\n       2: [1]\n       3: [a\"]\n"
      "       4: [\"b]\n      envList (size = 6):\n       1: [HOME=/root]\n"
      "       2: [X=a  b]\n       3: [KEP_START_FILE=/sync/app-start]\n"
      "       4: [KEP_INIT_FILE=/sync/app-init]\n       5: [KEP_STOP_FILE=/sync/app-stop]\n"
      "       6: [KEP_WD_FILE=/x/wd]\n"
      "   2: other\n      state: Configured (2)\n      disabled: false\n      pid: 0\n"
      "      deathAction: invalid (0)\n      deathMonitorAction: not_set (1)\n"
      "      doNotDeathMonitor: false\n      startLevel: 0\n      index: 1\n"
      "      startFile: NULL\n      initFile: NULL\n      stopFile: NULL\n      wdFile: NULL\n"
      "      argList (size = 0):\n      envList (size = 0):\n      user: kepuser\n"
      "      group: 3000\n      umask: 027\n      workDir: /srv\n      limit nofile: 32 64\n"
      "      limit core: unlimited unlimited\n      limit cpu: 0 unlimited\n      nice: -20\n"
      "      noNewPrivileges: true\n      capabilities: [cap_chown cap_net_raw]\n");
  // The run-time fields of -v are info lines too.
  log_.Clear();
  KepLogAppData(1, 1);
  for (const LogLine &line : log_.Lines())
    EXPECT_TRUE(line.level == 3 && line.notice == 0) << line.text;
  // A released record is a fresh one; a null one is refused.
  KepApp &first = KepGetAppList().front();
  EXPECT_EQ(KepFreeApp(&first), 0);
  EXPECT_TRUE(first.name.empty() && first.state == KEP_APP_STATE_NONE && first.argList.empty() &&
              first.deathMonitorAction == 0);
  EXPECT_EQ(KepFreeApp(nullptr), 1000);
  ASSERT_EQ(Read("disableReset\n"), 0);
  EXPECT_TRUE(KepGetDisableReset() && !KepGetDisableReboot());
  // The hardware watchdog shows only where it is configured, quoted or not.
  for (const char *device : {"\"/dev/watchdog1\"", "/dev/watchdog1"}) {
    ASSERT_EQ(Read("hwWatchdog " + std::string(device) + "\nhwWatchdogTimeout 9\n"), 0);
    log_.Clear();
    KepLogSettings();
    const Strings texts = log_.Texts();
    EXPECT_EQ(Strings(texts.end() - 2, texts.end()),
              (Strings{"   hwWatchdog:     /dev/watchdog1", "   hwWatchdogTime: 9"}));
  }
}

// Every unsigned setting at and beyond its range, which a failing value leaves
// alone; a minus sign wraps and a number beyond 32 bits saturates (as on the
// device). startLevel's ends are in the other tables.
TEST_F(Config, UnsignedKeywordsEnforceTheirRanges) {
  KepSettings &s = KepMutableSettings();
  const struct {
    const char *keyword;
    int token;
    uint32_t minimum, maximum, *value;
  } keywords[] = {
      {"killDelay", 1, 2, 60, &s.killDelay},
      {"killRetries", 2, 0, 10, &s.killRetries},
      {"wdTimeout", 5, 0, 300, &s.wdTimeout},
      {"startSyncTime", 6, 1, 20, &s.startSyncTime},
      {"initSyncTime", 7, 1, 60, &s.initSyncTime},
      {"stopSyncTime", 8, 1, 60, &s.stopSyncTime},
      {"deathMonitorPeriod", 10, 10, 3600, &s.deathMonitorPeriod},
      {"deathMonitorMaxDeath", 11, 2, 100, &s.deathMonitorMaxDeath},
      {"hwWatchdogTimeout", 23, 1, 600, &s.hwWatchdogTimeout},
  };
  for (const auto &k : keywords) {
    const std::string min = std::to_string(k.minimum), max = std::to_string(k.maximum);
    const std::string below = std::to_string(k.minimum - 1), above = std::to_string(k.maximum + 1);
    auto read = [&](const std::string &word, int status, const std::string &value) {
      const std::string line = k.keyword + (" " + word) + "\n";
      ResetModel();
      const std::string before = std::to_string(*k.value);  // the default
      EXPECT_EQ(Read(line), status) << line;
      EXPECT_EQ(std::to_string(*k.value), status ? before : value) << line;
      const std::string message =
          "ProcessUintToken(): uint value for token " + std::to_string(k.token) + " (" + value +
          (status == 1024 ? ") < minimum (" + min : ") > maximum (" + max) + ")";
      EXPECT_EQ(Errors(), status ? Failure({}, message, 1) : Strings{}) << line;
    };
    read("+" + min + "s", 0, min);
    read(max, 0, max);
    read(below, k.minimum > 0 ? 1024 : 1025, k.minimum > 0 ? below : "4294967295");
    read(above, 1025, above);
    read("1000000000", 1025, "1000000000");
    read("4294967296", 1025, "4294967295");
    read("99999999999999999999", 1025, "4294967295");
  }
}

// Pieces of 399 characters count as lines; a NUL ends a piece. The first
// failing line ends the read, keeping what came before; an open block at the
// end is dropped silently.
TEST_F(Config, EachFileGivesItsStatusLinesAndMessages) {
  const std::string a = "application a {\n", line = "ProcessConfigLine(): ";
  const std::string death = "ProcessDeathActionToken(): ", env = "ProcessEnvToken(): ";
  const std::string monitor = "ProcessDeathMonActionToken(): ", quote = "KepGetQuotedString(): ";
  const std::string limit = "ProcessLimitToken(): ", caps = "ProcessCapabilitiesToken(): ";
  const struct {
    std::string text;
    int status;
    int lines;  // read; for a failure, the failing one
    std::string message = "";
    std::string quoted = "";  // KepGetQuotedString's message before
    size_t apps = 0;
  } cases[] = {
      {"", 0, 0},
      {std::string(450, '#') + "\n", 0, 2},
      {"#" + std::string(398, ' ') + "bogus\n", 1027, 2, line + "Invalid token (\"bogus\") found"},
      {std::string("\0}\n\xff\n", 5), 1027, 2, line + "Invalid token (\"\xff\") found"},
      {"}", 1027, 1, line + "Invalid token (\"}\") found"},
      {a + "killDelay 5", 1028, 2, line + "Invalid application token (\"killDelay\") found"},
      {"killDelay #5", 1023, 1, "ProcessUintToken(): invalid uint value for token 1 (#5)"},
      {"killDelay", 1022, 1, "ProcessUintToken(): uint argument for token 1 not found"},
      {"application app{", 1016, 1, "ProcessApplicationToken(): opening brace not found"},
      {"application", 1017, 1, "ProcessApplicationToken(): application name not found"},
      {a + "deathAction", 1018, 2, death + "deathAction token not found"},
      {a + "deathAction Restart", 1030, 2, death + "invalid deathAction (Restart)"},
      {a + "deathAction not_set", 1030, 2, death + "invalid deathAction (not_set)"},
      {"deathMonitorAction", 1045, 1, monitor + "deathMonitorAction token not found"},
      {"deathMonitorAction restart", 1046, 1, monitor + "invalid deathMonitorAction (restart)"},
      {a + "deathMonitorAction Halt", 1046, 2,
       "ProcessDeathMonAppActionToken(): invalid app deathMonitorAction (Halt)"},
      {a + "arg \"", 1019, 2, "ProcessArgToken(): no argument value",
       quote + "close quote missing"},
      {a + "env", 1020, 2, env + "env variable missing"},
      {a + "env HOME /root", 1021, 2, env + "invalid env value", quote + "quotes missing."},
      {a + "env HOME x\"y\"", 1021, 2, env + "invalid env value", quote + "open quote missing."},
      {"hwWatchdog", 1047, 1, "ProcessHwWatchdogToken(): hwWatchdog device not found"},
      {"globalEnv A \"x", 1029, 1, "ProcessGlobalEnvToken(): invalid globalEnv value",
       quote + "close quote missing"},
      {a + "user", 1060, 2, "ProcessUserToken(): user name or id missing"},
      {a + "group -staff", 1061, 2, "ProcessGroupToken(): invalid group (-staff)"},
      {a + "user 4294967295", 1061, 2, "ProcessUserToken(): invalid user (4294967295)"},
      {a + "umask 0778", 1061, 2, "ProcessUmaskToken(): invalid umask (0778): octal, 0 to 0777"},
      {a + "workDir srv", 1061, 2, "ProcessWorkDirToken(): workDir (srv) is not an absolute path"},
      {a + "limit files 9", 1061, 2, limit + "unknown limit resource (files)"},
      {a + "limit core", 1060, 2, limit + "limit core without a value"},
      {a + "limit as 2 1", 1061, 2, limit + "limit as: soft limit 2 above hard limit 1"},
      {a + "limit nice 0 -1", 1061, 2,
       limit + "invalid limit nice value (-1): a number or unlimited"},
      {a + "limit data 18446744073709551615", 1061, 2,
       limit + "invalid limit data value (18446744073709551615): a number or unlimited"},
      {a + "nice 20", 1061, 2, "ProcessNiceToken(): invalid nice (20): -20 to 19"},
      {a + "nice -21", 1061, 2, "ProcessNiceToken(): invalid nice (-21): -20 to 19"},
      {a + "capabilities \"cap_kill cap_fly\"", 1061, 2, caps + "unknown capability (cap_fly)"},
      {a + "capabilities cap_kill", 1060, 2, caps + "no capabilities text",
       quote + "quotes missing."},
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

// No regular file, no lines: a FIFO or an endless device must not hang the
// start-up, a directory is no empty file, and a read error (reading this
// process's memory at offset 0: EIO) no end of file. A device that ends at
// once, /dev/null, is the empty configuration.
TEST_F(Config, AFileThatCannotBeReadIsAnOpenFailureAndDevNullIsEmpty) {
  const std::string fifo = temp_.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path, message;
  } cases[] = {
      {temp_.Path(), "fopen(" + temp_.Path() + ") failed, errno = 21."},
      {fifo, fifo + " is not a regular file."},
      {"/dev/zero", "/dev/zero is not a regular file."},
      {"/proc/self/mem", "reading /proc/self/mem failed at line 1, errno = 5."},
      {"/dev/null", ""},
  };
  for (const auto &c : cases) {
    log_.Clear();
    EXPECT_EQ(KepReadConfig(c.path.c_str()), c.message.empty() ? 0 : 1005) << c.path;
    const Strings errors = Errors();
    EXPECT_EQ(errors.empty() ? "" : errors[0],
              c.message.empty() ? "" : "KepConfig: KepReadConfig(): " + c.message);
    EXPECT_EQ(log_.Count("lines read"), c.path[1] == 'p' || c.message.empty() ? 1u : 0u)
        << log_.Dump();
    for (const LogLine &line : log_.Lines())
      EXPECT_TRUE(line.text.find("lines read") == std::string::npos || line.notice == 0);
  }
}

// kep-check: each input, a configuration text or the arguments, gives its exit
// status (0 valid, 1 invalid, 2 usage error, shown on standard error), the
// number of warnings and a part shown once. The PATH is a folder holding app,
// foo, foo-bar and foobar. Users and groups are looked up in this system's
// databases, or with --root in the files of a root file system.
TEST(KepCheck, WarningsReportsAndExitStatuses) {
  TempDir temp;
  const std::string bin = temp.File("bin"), path = getenv("PATH");
  mkdir(bin.c_str(), 0755);
  for (const char *name : {"app", "foo", "foo-bar", "foobar"})
    chmod(temp.Write("bin/" + std::string(name), "").c_str(), 0755);
  mkdir((bin + "/folder").c_str(), 0755);
  temp.Write("bin/data", "");  // not executable
  auto app = [](const std::string &name, const std::string &lines = "") {
    return "application " + name + " {\n deathAction restart\n" + lines + "}\n";
  };
  const std::string ref = KEP_SOURCE_DIR "/examples/reference.conf", usage = "usage: kep-check";
  const std::string bad = temp.Write("bad", "killDelay 5\nkillDelay 1\n");
  const std::string monitor = "deathMonitorAction reboot\ndeathMonitorPeriod ";
  const std::string root = temp.File("rootfs"), etc = root + "/etc/", none = temp.File("none");
  mkdir(root.c_str(), 0755);
  mkdir(etc.c_str(), 0755);
  temp.Write("rootfs/etc/passwd", "root:x:0:0::/root:/bin/sh\nwww:x:33:33::/:/bin/false\n");
  temp.Write("rootfs/etc/group", "root:x:0:\nwww:x:33:\nstaff:x:50:www\n");
  const std::string invalid = ": not valid on the root file system " + root + ": 1 error(s)";
  const struct {
    std::string input;
    int status;
    size_t warnings;
    std::string shown;
    std::string root = "";  // --root
  } cases[] = {
      {app("app", " user www\n group staff\n"), 0, 0, ", 0 warning(s)", root},
      {app("app", " user 4321\n group 50\n"), 0, 0, ", 0 warning(s)", root},
      {app("app", " user web\n"), 1, 0,
       "\nerror: application app (line 1): user web is unknown in " + etc + "passwd\n", root},
      {app("app", " group wheel\n"), 1, 0, "group wheel is unknown in " + etc + "group\n", root},
      {app("app", " user 4321\n"), 1, 0,
       "user 4321 has no entry in " + etc +
           "passwd, so a group must be given\n"
           "worst-case stop time: 66 s\n" +
           temp.File("c") + invalid,
       root},
      {app("app", " user www\n"), 1, 0, "cannot read " + none + "/etc/passwd, errno = 2", none},
      {app("app", " user root\n"), 0, 0, ", 0 warning(s)"},
      {app("app", " user kep-no-such-user\n"), 1, 0, "user kep-no-such-user is unknown\n"},
      {"--root", 2, 0, usage},
      {std::string(450, '#') + "\napplication app {\n}\n", 0, 1, "app (line 3): no deathAction"},
      {app("app", " deathMonitorAction halt\n"), 0, 1, "app (line 3): deathMonitorAction halt"},
      // 1 s between two counted deaths, plus startSyncTime without a start file.
      {monitor + "10\ndeathMonitorMaxDeath 11\n" + app("app"), 0, 0, ", 0 warning(s)"},
      {monitor + "10\ndeathMonitorMaxDeath 12\n" + app("app"), 0, 1,
       "(line 4): deathMonitorMaxDeath 12 cannot be reached within deathMonitorPeriod 10 s: 12 "
       "deaths take at least 11 s (1 s per restart)"},
      {monitor + "100\ndeathMonitorMaxDeath 20\n" + app("app", " startSync\n"), 0, 1,
       ": 20 deaths then take at least 114 s (1 s + startSyncTime 5 s per restart)"},
      {app("foo") + app("foo-bar"), 0, 1, "foo (line 1): its start removes the synchronisation"},
      {app("foo") + app("foobar"), 0, 0, ", 0 warning(s)"},
      {app("folder") + app("data"), 0, 2, "data (line 4): executable not found on PATH \"" + bin},
      {"disableReboot false\n" + app("app"), 0, 1, "line 1: disableReboot is a flag and"},
      {"hwWatchdogTimeout 10\n" + app("app"), 0, 1,
       "warning: hwWatchdogTimeout 10 has no effect without hwWatchdog"},
      {"hwWatchdog watchdog\n" + app("app"), 0, 1,
       "warning: hwWatchdog \"watchdog\" is not an absolute path"},
      // SIGTERM to foo at 0 (waits to 10, pause to 13), to app at 13 (to 26);
      // app's second at 26.5 waits to 36.5, foo's to 46.5; SIGKILL at 47.
      {"killDelay 2\nkillRetries 1\nstopSyncTime 10\n" + app("app", " stopSync /a\n") +
           app("foo", " stopSync /f\n"),
       0, 0, "\nworst-case stop time: 50.5 s\n"},
      {ref, 0, 0, "\n" + ref + ": valid configuration, 0 warning(s)\n"},
      {bad, 1, 0, "\nerror: KepReadConfig(): parsing " + bad + " failed at line 2.\n"},
      {bad, 1, 0, ": not a valid configuration (status 1024: unsigned value below the minimum)"},
      {"-h", 0, 0, usage},
      {"", 2, 0, usage},
      {"-x", 2, 0, usage},
  };
  setenv("PATH", bin.c_str(), 1);
  for (const auto &c : cases) {
    std::vector<std::string> args = {"kep-check"};
    std::istringstream words(c.input);
    for (std::string word; words >> word;) args.push_back(word);
    if (c.input.find('\n') != std::string::npos) args = {"kep-check", temp.Write("c", c.input)};
    if (!c.root.empty()) args.insert(args.begin() + 1, {"--root", c.root});
    const ToolRun run = RunTool(KepCheckMain, args);
    const std::string &shown = c.status == 2 ? run.err : run.out;
    EXPECT_EQ(run.status, c.status) << run.out;
    EXPECT_EQ(CountOf(run.out, "\nwarning: "), c.warnings) << run.out;
    EXPECT_EQ(CountOf(shown, c.shown), 1u) << c.shown << "\n" << shown;
    EXPECT_TRUE((c.status == 2 ? run.out : run.err).empty()) << run.out << run.err;
    EXPECT_TRUE(KepGetAppList().empty() && KepGetKillDelay() == 15);  // the model is released
  }
  setenv("PATH", path.c_str(), 1);
}
