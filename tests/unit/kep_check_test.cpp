#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "check.h"
#include "kep_config.h"
#include "kep_test.h"

namespace {

// Reads a configuration into the model, as kep-check does, and checks it.
class KepCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    // Executables found on this PATH only: a folder with "app" in it.
    bin_ = temp_.File("bin");
    mkdir(bin_.c_str(), 0755);
    for (const char *name : {"app", "foo", "foo-bar", "foobar"}) {
      std::string path = temp_.Write("bin/" + std::string(name), "#!/bin/sh\n");
      chmod(path.c_str(), 0755);
    }
  }
  void TearDown() override { ResetModel(); }

  // The warnings about text, which must read fine.
  std::vector<std::string> Warnings(const std::string &text) {
    ResetModel();
    const std::string path = temp_.Write("kep.conf", text);
    EXPECT_EQ(KepReadConfig(path.c_str()), 0) << text;
    return KepCheckWarnings(KepCheckScanFile(path.c_str()), bin_.c_str());
  }
  static std::string Joined(const std::vector<std::string> &warnings) {
    std::string all;
    for (const std::string &warning : warnings) all += warning + "\n";
    return all;
  }

  TempDir temp_;
  LogCapture log_;
  std::string bin_;
};

// The whole tool in this process: exit status, standard output, standard error.
struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

ToolRun RunCheck(std::vector<std::string> args) {
  args.insert(args.begin(), "kep-check");
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  char *outText = nullptr, *errText = nullptr;
  size_t outSize = 0, errSize = 0;
  FILE *out = open_memstream(&outText, &outSize);
  FILE *err = open_memstream(&errText, &errSize);
  ToolRun run;
  run.status = KepCheckMain(static_cast<int>(args.size()), argv.data(), out, err);
  fclose(out);
  fclose(err);
  run.out.assign(outText, outSize);
  run.err.assign(errText, errSize);
  free(outText);
  free(errText);
  return run;
}

const char kWellFormed[] =
    "application app {\n"
    "  deathAction restart\n"
    "}\n";

}  // namespace

TEST_F(KepCheck, AWellFormedConfigurationHasNoWarning) {
  EXPECT_EQ(Joined(Warnings(kWellFormed)), "");
  EXPECT_EQ(Joined(Warnings("")), "");
}

TEST_F(KepCheck, AnApplicationWithoutDeathActionIsNamedWithItsLine) {
  const std::string all = Joined(Warnings("# first\n\napplication app {\n}\n"));
  EXPECT_NE(all.find("application app (line 3): no deathAction"), std::string::npos) << all;
}

TEST_F(KepCheck, AnApplicationDeathMonitorActionNeedsTheGlobalOne) {
  const std::string text =
      "application app {\n"
      "  deathAction restart\n"
      "  deathMonitorAction halt\n"
      "}\n";
  const std::string all = Joined(Warnings(text));
  EXPECT_NE(all.find("application app (line 3): deathMonitorAction halt never applies"),
            std::string::npos)
      << all;
  EXPECT_EQ(Joined(Warnings("deathMonitorAction reset\n" + text)), "");
}

// Between two counted deaths kep needs two passes (1 s), plus startSyncTime
// for an application with startSync that dies before writing its start file.
TEST_F(KepCheck, WarnsWhenTheDeathThresholdCannotBeReachedInThePeriod) {
  struct Case {
    uint32_t period, maxDeath, startSyncTime;
    bool startSync;
    const char *deathAction;
    const char *expected;  // null: no warning
  };
  const Case cases[] = {
      {10, 11, 5, false, "restart", nullptr},  // 10 restarts take 10 s: just within
      {10, 12, 5, false, "restart", "12 deaths take at least 11 s (1 s per restart)"},
      {99, 100, 5, false, "restart", nullptr},
      {98, 100, 5, false, "restart", "100 deaths take at least 99 s"},
      {100, 20, 5, true, "restart",
       "if it dies before writing its start file: 20 deaths then "
       "take at least 114 s (1 s + startSyncTime 5 s per restart)"},
      {114, 20, 5, true, "restart", nullptr},
      {100, 20, 5, false, "restart", nullptr},
      {10, 100, 20, true, "none", nullptr},  // not restarted: never counted
  };
  for (const Case &c : cases) {
    std::string text = "deathMonitorAction reboot\ndeathMonitorPeriod " + std::to_string(c.period) +
                       "\ndeathMonitorMaxDeath " + std::to_string(c.maxDeath) + "\nstartSyncTime " +
                       std::to_string(c.startSyncTime) + "\napplication app {\n  deathAction " +
                       c.deathAction + "\n" + (c.startSync ? "  startSync\n" : "") + "}\n";
    const std::string all = Joined(Warnings(text));
    if (c.expected != nullptr) {
      EXPECT_NE(
          all.find(std::string("application app (line 5): deathMonitorMaxDeath ") +
                   std::to_string(c.maxDeath) + " cannot be reached within deathMonitorPeriod " +
                   std::to_string(c.period) + " s"),
          std::string::npos)
          << text << all;
      EXPECT_NE(all.find(c.expected), std::string::npos) << text << all;
    } else {
      EXPECT_EQ(all.find("cannot be reached"), std::string::npos) << text << all;
    }
  }
  // The monitor is off without the global action: nothing to reach.
  EXPECT_EQ(Joined(Warnings("deathMonitorPeriod 10\ndeathMonitorMaxDeath 100\n" +
                            std::string(kWellFormed))),
            "");
}

TEST_F(KepCheck, AnExecutableMustBeOnThePath) {
  const std::string all = Joined(Warnings(
      "application missing {\n deathAction none\n}\napplication /bin/sh {\n deathAction none\n}\n"
      "application app {\n deathAction none\n}\n"));
  EXPECT_NE(all.find("application missing (line 1): executable not found on PATH \"" + bin_ + "\""),
            std::string::npos)
      << all;
  EXPECT_EQ(all.find("/bin/sh"), std::string::npos) << all;
  EXPECT_EQ(all.find("application app"), std::string::npos) << all;
}

TEST_F(KepCheck, NamesThatShareOrRemoveEachOthersSyncFiles) {
  struct Case {
    const char *first, *second;
    const char *expected;  // null: no warning
  };
  const Case cases[] = {
      {"app", "app", "application app (line 4): same name as application app (line 1)"},
      {"app", "/x/app",
       "application /x/app (line 4): same synchronisation-file base name \"app\" "
       "as application app (line 1)"},
      {"foo", "foo-bar",
       "application foo (line 1): its start removes the synchronisation files of "
       "application foo-bar (line 4), whose base name \"foo-bar\" begins with "
       "\"foo-\""},
      {"foo-bar", "/y/foo",
       "application /y/foo (line 4): its start removes the synchronisation "
       "files of application foo-bar (line 1)"},
      {"foo", "foobar", nullptr},
      {"foo-bar", "foobar", nullptr},
  };
  for (const Case &c : cases) {
    std::string text = std::string("application ") + c.first + " {\n deathAction none\n}\n" +
                       "application " + c.second + " {\n deathAction none\n}\n";
    std::vector<std::string> warnings = Warnings(text);
    std::string all;
    for (const std::string &warning : warnings) {
      if (warning.find("executable") == std::string::npos) all += warning + "\n";
    }
    if (c.expected == nullptr) {
      EXPECT_EQ(all, "") << text;
    } else {
      EXPECT_NE(all.find(c.expected), std::string::npos) << text << all;
    }
  }
}

TEST_F(KepCheck, FlagWordsAndRelativeSyncPathsAreNotWhatTheyLookLike) {
  const std::string all =
      Joined(Warnings("disableReboot false\n"
                      "disableReset # a note is fine\n"
                      "application app {\n"
                      "  deathAction none\n"
                      "  doNotDeathMonitor no\n"
                      "  startSync # a note here is a path\n"
                      "  stopSync relative/stop\n"
                      "  wdEnable /abs/wd\n"
                      "}\n"));
  EXPECT_NE(all.find("line 1: disableReboot is a flag and takes no value: \"false\" is ignored"),
            std::string::npos)
      << all;
  EXPECT_EQ(all.find("disableReset"), std::string::npos) << all;
  EXPECT_NE(all.find("application app (line 5): doNotDeathMonitor is a flag"), std::string::npos)
      << all;
  EXPECT_NE(all.find("application app (line 3): startSync file \"#\" is not an absolute path (a "
                     "note behind the keyword is read as the path)"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("stopSync file \"relative/stop\" is not an absolute path\n"),
            std::string::npos)
      << all;
  EXPECT_EQ(all.find("wdEnable"), std::string::npos) << all;
}

TEST_F(KepCheck, LinesAreCountedInTheReadersPieces) {
  const std::string path = temp_.Write(
      "kep.conf", std::string(450, '#') + "\napplication app {\n deathMonitorAction halt\n}\n");
  KepCheckScan scan = KepCheckScanFile(path.c_str());
  ASSERT_EQ(scan.apps.size(), 1u);
  EXPECT_EQ(scan.apps[0].application, 3u);
  EXPECT_EQ(scan.apps[0].deathMonitorAction, 4u);
  EXPECT_TRUE(KepCheckScanFile(temp_.File("missing").c_str()).apps.empty());
}

// The stop played through in half seconds; see KepCheckWorstStopHalfSeconds.
TEST_F(KepCheck, WorstStopTimeWithoutStopFilesFollowsTheClosedForm) {
  EXPECT_EQ(KepCheckWorstStopHalfSeconds(), 0u);
  for (uint32_t killDelay : {2u, 15u, 60u}) {
    for (uint32_t killRetries : {0u, 2u, 10u}) {
      for (int apps : {1, 2, 5}) {
        ResetModel();
        KepMutableSettings().killDelay = killDelay;
        KepMutableSettings().killRetries = killRetries;
        for (int i = 0; i < apps; ++i) KepGetAppList().emplace_back();
        // 3 s x (apps - 1) + (killRetries + 2) x (killDelay + 1.5) s
        const uint64_t expected = 6ull * (apps - 1) + (killRetries + 2ull) * (2 * killDelay + 3);
        EXPECT_EQ(KepCheckWorstStopHalfSeconds(), expected)
            << killDelay << " " << killRetries << " " << apps;
      }
    }
  }
  ResetModel();
  KepGetAppList().emplace_back();
  EXPECT_EQ(KepCheckSeconds(KepCheckWorstStopHalfSeconds()), "66");  // the defaults
  EXPECT_EQ(KepCheckSeconds(133), "66.5");
}

TEST_F(KepCheck, StopFileWaitsAddUpAndHoldUpTheOthers) {
  // One application, defaults: SIGTERM at 0, stop wait to 20, pause to 23; the
  // next pass (23.5) repeats SIGTERM and waits to 43.5; 44 the third SIGTERM,
  // waiting to 64; 64.5 SIGKILL; given up a pass after 80.5.
  KepGetAppList().emplace_back().stopFile = "/x/app-stop";
  EXPECT_EQ(KepCheckSeconds(KepCheckWorstStopHalfSeconds()), "81");

  // Two applications, killDelay 2, killRetries 1, stopSyncTime 10: SIGTERM to
  // the second at 0 (waits to 10, pause to 13) and to the first at 13 (waits
  // to 23, pause to 26); at 26.5 the first gets its second SIGTERM and waits
  // to 36.5, when the second gets its own and waits to 46.5; at 47 both get
  // SIGKILL; given up a pass after 50.
  ResetModel();
  KepMutableSettings().killDelay = 2;
  KepMutableSettings().killRetries = 1;
  KepMutableSettings().stopSyncTime = 10;
  KepGetAppList().emplace_back().stopFile = "/x/a-stop";
  KepGetAppList().emplace_back().stopFile = "/x/b-stop";
  EXPECT_EQ(KepCheckSeconds(KepCheckWorstStopHalfSeconds()), "50.5");
}

TEST(KepCheckTool, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{}, {"a.conf", "b.conf"}, {"-x"}}) {
    ToolRun run = RunCheck(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "usage: kep-check CONFIG\n");
    EXPECT_EQ(run.out, "");
  }
  ToolRun help = RunCheck({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: kep-check CONFIG\n", 0), 0u);
  EXPECT_NE(help.out.find("(killRetries + 2) x (killDelay + 1.5) s"), std::string::npos);
  EXPECT_NE(help.out.find("(N - 1) x (1 s [+ startSyncTime]) <= deathMonitorPeriod"),
            std::string::npos);
}

TEST(KepCheckTool, AValidFileIsDumpedCheckedAndTimed) {
  TempDir temp;
  const std::string path = temp.Write("kep.conf",
                                      "killRetries 0\n"
                                      "application /bin/sh {\n"
                                      "  deathAction restart\n"
                                      "  arg \"-c true\"\n"
                                      "}\n"
                                      "application /bin/sleep {\n"
                                      "}\n");
  ToolRun run = RunCheck({path});
  EXPECT_EQ(run.status, 0) << run.out;
  const std::string expected[] = {
      "KepReadConfig(): reading config file ",
      "\nConfiguration Settings:\n   killDelay:      15\n   killRetries:    0\n",
      "\nGlobal environment list (size = 0):\n",
      "\nLog application data (size = 2):\n   1: /bin/sh\n      state: Configured (2)\n",
      "\n      argList (size = 2):\n       1: [-c]\n       2: [true]\n",
      "\nwarning: application /bin/sleep (line 6): no deathAction",
      "\nworst-case stop time: 36 s\n",  // 3 s + 2 x 16.5 s
      "\n" + path + ": valid configuration, 1 warning(s)\n",
  };
  for (const std::string &text : expected) {
    EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n---\n" << run.out;
  }
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(KepGetAppList().empty());  // the model is released again
}

TEST(KepCheckTool, AnInvalidFileShowsTheReadersMessagesAndExitsWithOne) {
  TempDir temp;
  const std::string path = temp.Write("kep.conf", "killDelay 5\nkillDelay 1\n");
  ToolRun run = RunCheck({path});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("error: ProcessUintToken(): uint value for token 1 (1) < minimum (2), "
                         "file: " +
                         path + ", line: 2.\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("error: KepReadConfig(): parsing " + path + " failed at line 2.\n"),
            std::string::npos);
  EXPECT_NE(run.out.find(path + ": not a valid configuration (status 1024: unsigned value below "
                                "the minimum)\n"),
            std::string::npos);
  EXPECT_EQ(run.out.find("Configuration Settings:"), std::string::npos);
  EXPECT_EQ(run.out.find("worst-case"), std::string::npos);

  ToolRun missing = RunCheck({temp.File("missing.conf")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("error: KepReadConfig(): fopen("), std::string::npos);
}

// The installed tool, as a process.
namespace {
ToolRun RunCheckProcess(const std::string &args) {
  const std::string command = std::string(KEP_CHECK) + " " + args + " 2>&1";
  ToolRun run{-1, "", ""};
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}
}  // namespace

TEST(KepCheckExec, TheReferenceConfigurationPassesWithoutWarnings) {
  ToolRun run = RunCheckProcess(std::string(KEP_SOURCE_DIR) + "/examples/reference.conf");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("reference.conf: valid configuration, 0 warning(s)\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("worst-case stop time: "), std::string::npos);
}

TEST(KepCheckExec, ExitStatusesOfTheProgram) {
  EXPECT_EQ(RunCheckProcess("").status, 2);
  EXPECT_EQ(RunCheckProcess("-h").status, 0);
  EXPECT_EQ(RunCheckProcess("/nonexistent/kep.conf").status, 1);
}

// Every keyword appears in the reference configuration, deathMonitorAction in
// both scopes.
TEST(KepCheckReference, UsesEveryKeyword) {
  ResetModel();
  const std::string path = std::string(KEP_SOURCE_DIR) + "/examples/reference.conf";
  ASSERT_EQ(KepReadConfig(path.c_str()), 0);
  const KepSettings defaults;
  const KepSettings &s = KepMutableSettings();
  EXPECT_NE(s.deathMonitorAction, defaults.deathMonitorAction);
  EXPECT_TRUE(s.disableReboot && s.disableReset);
  EXPECT_FALSE(KepGetGlobalEnvList().empty());
  bool deathMonitorAction = false, doNotDeathMonitor = false, args = false, env = false;
  bool start = false, init = false, stop = false, wd = false, level = false;
  for (const KepApp &app : KepGetAppList()) {
    deathMonitorAction |= app.deathMonitorAction != KEP_DEATH_ACTION_NOT_SET;
    doNotDeathMonitor |= app.doNotDeathMonitor != 0;
    args |= !app.argList.empty();
    env |= app.envList.size() > 1;
    start |= app.startFile.has_value();
    init |= app.initFile.has_value();
    stop |= app.stopFile.has_value();
    wd |= app.wdFile.has_value();
    level |= app.startLevel != 0;
    EXPECT_NE(app.deathAction, static_cast<uint32_t>(KEP_DEATH_ACTION_INVALID)) << app.name;
  }
  EXPECT_TRUE(deathMonitorAction && doNotDeathMonitor && args && env && start && init && stop &&
              wd && level);
  // Each global value keyword is written out, even where it gives the default.
  const std::string text = ReadFile(path);
  for (const char *keyword :
       {"\nkillDelay ", "\nkillRetries ", "\nwdTimeout ", "\nstartSyncTime ", "\ninitSyncTime ",
        "\nstopSyncTime ", "\ndeathMonitorPeriod ", "\ndeathMonitorMaxDeath "}) {
    EXPECT_NE(text.find(keyword), std::string::npos) << keyword;
  }
  ResetModel();
}
