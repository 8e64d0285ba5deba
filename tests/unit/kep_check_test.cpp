#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "check.h"
#include "kep_config.h"
#include "kep_test.h"

namespace {

ToolRun RunCheck(std::vector<std::string> args) {
  args.insert(args.begin(), "kep-check");
  return RunTool(KepCheckMain, args);
}

}  // namespace

// Each kind of warning, named with its application and line; the PATH is a
// folder holding app, foo and foo-bar.
TEST(KepCheck, EachKindOfWarningNamesItsApplicationAndLine) {
  TempDir temp;
  const std::string bin = temp.File("bin");
  mkdir(bin.c_str(), 0755);
  for (const char *name : {"app", "foo", "foo-bar", "foobar"}) {
    chmod(temp.Write("bin/" + std::string(name), "#!/bin/sh\n").c_str(), 0755);
  }
  auto block = [](const std::string &name, const std::string &lines = "") {
    return "application " + name + " {\n deathAction restart\n" + lines + "}\n";
  };
  auto monitor = [](int period, int maxDeath) {
    return "deathMonitorAction reboot\ndeathMonitorPeriod " + std::to_string(period) +
           "\ndeathMonitorMaxDeath " + std::to_string(maxDeath) + "\n";
  };
  struct Case {
    std::string text;
    std::string expected;  // empty: no warning at all
  };
  const Case cases[] = {
      {block("app") + block("/bin/sh"), ""},
      {std::string(450, '#') + "\napplication app {\n}\n",
       "application app (line 3): no deathAction: it is never restarted"},
      {block("app", " deathMonitorAction halt\n"),
       "application app (line 3): deathMonitorAction halt never applies"},
      {"deathMonitorAction reset\n" + block("app", " deathMonitorAction halt\n"), ""},
      // Between two counted deaths kep needs two passes (1 s), plus startSyncTime
      // for an application that dies before writing its start file.
      {monitor(10, 11) + block("app"), ""},
      {monitor(10, 12) + block("app"),
       "application app (line 4): deathMonitorMaxDeath 12 cannot be reached within "
       "deathMonitorPeriod 10 s: 12 deaths take at least 11 s (1 s per restart)"},
      {monitor(100, 20) + block("app", " startSync\n"),
       "application app (line 4): deathMonitorMaxDeath 20 cannot be reached within "
       "deathMonitorPeriod 100 s if it dies before writing its start file: 20 deaths then "
       "take at least 114 s (1 s + startSyncTime 5 s per restart)"},
      {block("missing"), "application missing (line 1): executable not found on PATH \"" + bin},
      {block("app") + block("app"),
       "application app (line 4): same name as application app (line 1)"},
      {block("app") + block(bin + "/app"),
       "application " + bin +
           "/app (line 4): same synchronisation-file base name \"app\" as "
           "application app (line 1)"},
      {block("foo") + block("foo-bar"),
       "application foo (line 1): its start removes the synchronisation files of application "
       "foo-bar (line 4), whose base name \"foo-bar\" begins with \"foo-\""},
      {block("foo-bar") + block(bin + "/foo"),
       "application " + bin +
           "/foo (line 4): its start removes the synchronisation files of "
           "application foo-bar (line 1)"},
      {block("foo") + block("foobar"), ""},
      {"disableReboot false\ndisableReset # a note\n" + block("app"),
       "line 1: disableReboot is a flag and takes no value: \"false\" is ignored"},
      {block("app", " startSync # a note\n"),
       "application app (line 1): startSync file \"#\" is not an absolute path (a note behind "
       "the keyword is read as the path)"},
  };
  for (const Case &c : cases) {
    ResetModel();
    const std::string path = temp.Write("kep.conf", c.text);
    ASSERT_EQ(KepReadConfig(path.c_str()), 0) << c.text;
    std::string all;
    for (const std::string &warning :
         KepCheckWarnings(KepCheckScanFile(path.c_str()), bin.c_str())) {
      all += warning + "\n";
    }
    if (c.expected.empty()) {
      EXPECT_EQ(all, "") << c.text;
    } else {
      EXPECT_EQ(all.rfind(c.expected, 0), 0u) << c.text << "\n" << all;  // the first and only one
      EXPECT_EQ(all.find('\n'), all.size() - 1) << c.text << "\n" << all;
    }
  }
  ResetModel();
}

// A stop played through in half seconds. Two applications, killDelay 2,
// killRetries 1, stopSyncTime 10: SIGTERM to the second at 0 (waits to 10,
// pause to 13) and to the first at 13 (waits to 23, pause to 26); at 26.5 the
// first gets its second SIGTERM and waits to 36.5, when the second gets its
// own and waits to 46.5; at 47 both get SIGKILL; given up a pass after 50.
TEST(KepCheck, StopFileWaitsAddUpInTheWorstCaseStopTime) {
  ResetModel();
  KepMutableSettings().killDelay = 2;
  KepMutableSettings().killRetries = 1;
  KepMutableSettings().stopSyncTime = 10;
  KepGetAppList().emplace_back().stopFile = "/x/a-stop";
  KepGetAppList().emplace_back().stopFile = "/x/b-stop";
  EXPECT_EQ(KepCheckSeconds(KepCheckWorstStopHalfSeconds()), "50.5");
  ResetModel();
}

// Exit status 0 for a valid file, 1 for an invalid one, 2 for a usage error.
TEST(KepCheckTool, ReportsAndExitStatuses) {
  TempDir temp;
  const std::string valid = temp.Write("valid.conf",
                                       "killRetries 0\n"
                                       "application /bin/sh {\n"
                                       "  deathAction restart\n"
                                       "  arg \"-c true\"\n"
                                       "}\n"
                                       "application /bin/sleep {\n"
                                       "}\n");
  const std::string invalid = temp.Write("invalid.conf", "killDelay 5\nkillDelay 1\n");
  const std::string usage = "usage: kep-check CONFIG\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // each found in standard output
    std::string err = "";
  };
  const Case cases[] = {
      {{valid},
       0,
       {"KepReadConfig(): reading config file ",
        "\nConfiguration Settings:\n   killDelay:      15\n   killRetries:    0\n",
        "\nGlobal environment list (size = 0):\n",
        "\nLog application data (size = 2):\n   1: /bin/sh\n      state: Configured (2)\n",
        "\nwarning: application /bin/sleep (line 6): no deathAction",
        "\nworst-case stop time: 36 s\n",  // 3 s + 2 x 16.5 s
        "\n" + valid + ": valid configuration, 1 warning(s)\n"}},
      {{invalid},
       1,
       {"error: ProcessUintToken(): uint value for token 1 (1) < minimum (2), file: " + invalid +
            ", line: 2.\n",
        "error: KepReadConfig(): parsing " + invalid + " failed at line 2.\n",
        invalid + ": not a valid configuration (status 1024: unsigned value below the minimum)\n"}},
      {{temp.File("missing.conf")}, 1, {"error: KepReadConfig(): fopen("}},
      {{KEP_SOURCE_DIR "/examples/reference.conf"},
       0,
       {"reference.conf: valid configuration, 0 warning(s)\n"}},
      {{"-h"}, 0, {usage}},
      {{}, 2, {}, usage},
      {{"a.conf", "b.conf"}, 2, {}, usage},
      {{"-x"}, 2, {}, usage},
  };
  for (const Case &c : cases) {
    const ToolRun run = RunCheck(c.args);
    EXPECT_EQ(run.status, c.status) << run.out;
    for (const std::string &text : c.out) {
      EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n---\n" << run.out;
    }
    EXPECT_TRUE(!c.out.empty() || run.out.empty()) << run.out;
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(KepGetAppList().empty());  // the model is released again
  }
}
