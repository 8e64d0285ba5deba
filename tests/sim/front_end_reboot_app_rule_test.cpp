// The reboot-application rule applied at start-up, with the file in a
// temporary folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kep_front_end.h"
#include "kep_main.h"
#include "kep_test.h"

using Texts = std::vector<std::string>;

TEST(RebootAppRule, TheThirdRecordedRebootDisablesTheApplicationAndRemovesTheFile) {
  struct Case {
    std::string file;  // "" for none
    Texts logged;      // "<level><n if notice> <text>"
    Texts disabled;
    bool fileStays;
  };
  const Case cases[] = {
      {"", {}, {}, false},
      {"beta 2\n", {"3n main(): read reboot app (beta, 2)."}, {}, true},
      {"beta 3\n",
       {"3n main(): read reboot app (beta, 3).", "3n main(): disabling app (beta, 3)."},
       {"beta"},
       false},
      {"gamma 7\n",
       {"3n main(): read reboot app (gamma, 7).", "3n main(): disabling app (gamma, 7).",
        "2 main(): could not disable app gamma."},
       {},
       false},
      // A negative count wraps, so it has reached the limit too.
      {"alpha -1\n",
       {"3n main(): read reboot app (alpha, -1).", "3n main(): disabling app (alpha, -1)."},
       {"alpha"},
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    TempDir temp;
    ResetModel();
    for (const char *name : {"alpha", "beta"}) {
      KepApp app;
      app.name = name;
      KepGetAppList().push_back(app);
    }
    const std::string path = temp.File("rebootApplicationData");
    if (!c.file.empty()) temp.Write("rebootApplicationData", c.file);
    rebootFilePath = path.c_str();
    rebootAppName.clear();
    rebootAppCount = 0;
    LogCapture log;
    KepApplyRebootAppRule();

    Texts logged, disabled;
    for (const LogLine &line : log.Lines())
      logged.push_back(std::to_string(line.level) + (line.notice ? "n " : " ") + line.text);
    for (const KepApp &app : KepGetAppList())
      if (app.disabled) disabled.push_back(app.name);
    EXPECT_EQ(logged, c.logged);
    EXPECT_EQ(disabled, c.disabled);
    EXPECT_EQ(FileExists(path), c.fileStays);
  }
  rebootFilePath = kKepDefaultRebootFilePath;
  rebootAppName.clear();
  rebootAppCount = 0;
  ResetModel();
}
