#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kep_front_end.h"
#include "kep_main.h"
#include "kep_test.h"
#include "zel_log_testing.h"

namespace {

std::string Cwd() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

bool IsDirectory(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Runs the test body from inside a temporary folder and goes back afterwards.
class MkdirDashP : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = Cwd();
    ASSERT_EQ(chdir(temp_.Path().c_str()), 0);
    inside_ = Cwd();
  }
  void TearDown() override { ASSERT_EQ(chdir(start_.c_str()), 0); }

  TempDir temp_;
  std::string start_;
  std::string inside_;
};

}  // namespace

TEST_F(MkdirDashP, RejectsAMissingOrEmptyPath) {
  EXPECT_EQ(KepMkdirDashP(nullptr), 1000);
  EXPECT_EQ(KepMkdirDashP(""), 1035);
}

TEST_F(MkdirDashP, MakesEveryMissingComponentAndComesBack) {
  struct Case {
    std::string path;  // relative to the temporary folder, or absolute when it starts with '/'
    std::string made;  // the deepest folder that must exist afterwards
  };
  const std::string abs = temp_.Path();
  const Case cases[] = {
      {"one", "one"},
      {"a/b/c", "a/b/c"},
      {"trailing/slash/", "trailing/slash"},
      {"double//slash", "double/slash"},
      {abs + "/x/y/z", "x/y/z"},
      {abs + "/x/y/z/w", "x/y/z/w"},  // x/y/z exist already
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(KepMkdirDashP(c.path.c_str()), 0);
    EXPECT_TRUE(IsDirectory(temp_.File(c.made)));
    EXPECT_EQ(Cwd(), inside_);
  }
}

TEST_F(MkdirDashP, ASecondRunOverExistingFoldersSucceeds) {
  const std::string path = temp_.File("var/local/zel/kep/syncFiles");
  ASSERT_EQ(KepMkdirDashP(path.c_str()), 0);
  EXPECT_EQ(KepMkdirDashP(path.c_str()), 0);
  EXPECT_EQ(KepMkdirDashP("/"), 0);
  EXPECT_EQ(Cwd(), inside_);
}

TEST_F(MkdirDashP, FoldersAreMadeWithFullPermissionsWhateverTheMask) {
  mode_t old = umask(077);
  EXPECT_EQ(KepMkdirDashP("open/folder"), 0);
  EXPECT_EQ(umask(old), 077u);  // the caller's mask is back
  struct stat info;
  ASSERT_EQ(stat("open/folder", &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0777u);
}

TEST_F(MkdirDashP, AComponentThatIsAFileCannotBeEntered) {
  temp_.Write("plain", "not a folder");
  EXPECT_EQ(KepMkdirDashP("plain/below"), 1010);
  EXPECT_EQ(KepMkdirDashP(temp_.File("plain").c_str()), 1010);
  EXPECT_EQ(Cwd(), inside_);
}

TEST_F(MkdirDashP, AComponentThatCannotBeMadeFailsAndKeepsWhatWasMade) {
  const std::string tooLong(NAME_MAX + 1, 'n');
  EXPECT_EQ(KepMkdirDashP(("made/" + tooLong + "/after").c_str()), 1009);
  EXPECT_TRUE(IsDirectory(temp_.File("made")));
  EXPECT_EQ(Cwd(), inside_);
}

TEST(DlogLevel, MapsLogLevelsToSyslogSeverities) {
  struct Case {
    int level, notice, severity;
  };
  const Case cases[] = {{1, 0, 3}, {1, 1, 3}, {2, 0, 4}, {2, 1, 4}, {3, 1, 5},
                        {3, 0, 6}, {0, 0, 7}, {4, 1, 7}, {9, 0, 7}, {-1, 0, 7}};
  for (const Case &c : cases) {
    EXPECT_EQ(KepDlogLevel(c.level, c.notice), c.severity)
        << "level " << c.level << " notice " << c.notice;
  }
}

namespace {

// Points the debug log at a temporary folder for the test's lifetime.
class DebugLogHook : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(KepMkdirDashP(temp_.File("var/log").c_str()), 0);
    Dlog_SetRootForTesting(temp_.Path().c_str());
    disableDlog = 0;
  }
  void TearDown() override {
    Dlog_SetRootForTesting(nullptr);
    disableDlog = 0;
  }
  std::string Dlog() const { return ReadFile(temp_.File("var/log/dlog.log")); }

  TempDir temp_;
};

}  // namespace

TEST_F(DebugLogHook, WritesTheTextLiterallyAtTheMappedSeverity) {
  ExtLogFn(3, 0, "KepMain", "100% done %s %n");
  ExtLogFn(3, 1, "KepConfig", "notable");
  ExtLogFn(9, 0, nullptr, "odd level");
  const std::string dlog = Dlog();
  EXPECT_NE(dlog.find("INFO"), std::string::npos) << dlog;
  EXPECT_NE(dlog.find("KepMain: 100% done %s %n"), std::string::npos) << dlog;
  EXPECT_NE(dlog.find("NOTICE"), std::string::npos) << dlog;
  EXPECT_NE(dlog.find("KepConfig: notable"), std::string::npos) << dlog;
  EXPECT_NE(dlog.find("DEBUG"), std::string::npos) << dlog;
  EXPECT_NE(dlog.find("odd level"), std::string::npos) << dlog;
}

TEST_F(DebugLogHook, DashDSilencesTheHook) {
  disableDlog = 1;
  ExtLogFn(1, 1, "KepMain", "dropped");
  EXPECT_EQ(Dlog().find("dropped"), std::string::npos);
}
