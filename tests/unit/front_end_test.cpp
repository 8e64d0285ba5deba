#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kep_front_end.h"
#include "kep_main.h"
#include "kep_test.h"
#include "zel_log_testing.h"

namespace fs = std::filesystem;

TEST(KepMkdirDashP, MakesWhatIsMissingPassesWhatExistsAndStopsAtAFile) {
  TempDir temp;
  const fs::path start = fs::current_path();
  fs::current_path(temp.Path());
  temp.Write("plain", "not a folder");
  struct Case {
    std::string path;  // relative to the temporary folder unless it starts with '/'
    int status;
    std::string made;  // a folder that must exist afterwards
  };
  const Case cases[] = {
      {"a/b/c", 0, "a/b/c"},
      {"a/b/c/", 0, "a/b/c"},  // every component exists already
      {temp.File("a//x/y"), 0, "a/x/y"},
      {"plain/below", 1010, ""},
      {temp.File("plain"), 1010, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(KepMkdirDashP(c.path.c_str()), c.status);
    EXPECT_TRUE(c.made.empty() || fs::is_directory(temp.File(c.made)));
    EXPECT_EQ(fs::current_path(), temp.Path());  // the working folder is back
  }
  fs::current_path(start);
}

TEST(KepDlogLevel, MapsLogLevelsToSyslogSeverities) {
  struct Case {
    int level, notice, severity;
  };
  const Case cases[] = {{1, 0, 3}, {1, 1, 3}, {2, 1, 4}, {3, 1, 5},
                        {3, 0, 6}, {0, 0, 7}, {4, 1, 7}, {-1, 0, 7}};
  for (const Case &c : cases) {
    EXPECT_EQ(KepDlogLevel(c.level, c.notice), c.severity)
        << "level " << c.level << " notice " << c.notice;
  }
}

TEST(ExtLogFn, WritesTheFinishedTextLiterally) {
  TempDir temp;
  fs::create_directories(temp.File("var/log"));
  Dlog_SetRootForTesting(temp.Path().c_str());
  ExtLogFn(3, 0, "KepMain", "100% done %s %n");
  Dlog_SetRootForTesting(nullptr);
  const std::string dlog = ReadFile(temp.File("var/log/dlog.log"));
  EXPECT_NE(dlog.find("INFO"), std::string::npos) << dlog;
  EXPECT_NE(dlog.find("KepMain: 100% done %s %n\n"), std::string::npos) << dlog;
}
