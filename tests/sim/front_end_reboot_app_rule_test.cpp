// The reboot-application rule applied at start-up, with the file in a
// temporary folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kep_front_end.h"
#include "kep_main.h"
#include "kep_test.h"

namespace {

class RebootAppRule : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    for (const char *name : {"alpha", "beta"}) {
      KepApp app;
      app.name = name;
      KepGetAppList().push_back(app);
    }
    path_ = temp_.File("rebootApplicationData");
    rebootFilePath = path_.c_str();
    rebootAppName.clear();
    rebootAppCount = 0;
  }
  void TearDown() override {
    rebootFilePath = kKepDefaultRebootFilePath;
    rebootAppName.clear();
    rebootAppCount = 0;
    ResetModel();
  }
  bool Disabled(const std::string &name) const {
    for (const KepApp &app : KepGetAppList())
      if (app.name == name) return app.disabled != 0;
    return false;
  }

  TempDir temp_;
  std::string path_;
  LogCapture log_;
};

}  // namespace

TEST_F(RebootAppRule, NoFileChangesNothing) {
  KepApplyRebootAppRule();
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
  EXPECT_EQ(rebootAppCount, 0u);
}

TEST_F(RebootAppRule, ACountBelowThreeIsReportedAndTheFileStays) {
  temp_.Write("rebootApplicationData", "beta 2\n");
  KepApplyRebootAppRule();
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"main(): read reboot app (beta, 2)."});
  EXPECT_EQ(log_.Lines()[0].level, 3);
  EXPECT_EQ(log_.Lines()[0].notice, 1);
  EXPECT_FALSE(Disabled("beta"));
  EXPECT_TRUE(FileExists(path_));
  EXPECT_EQ(rebootAppName, "beta");
  EXPECT_EQ(rebootAppCount, 2u);
}

TEST_F(RebootAppRule, TheThirdRebootDisablesTheApplicationAndRemovesTheFile) {
  temp_.Write("rebootApplicationData", "beta 3\n");
  KepApplyRebootAppRule();
  EXPECT_EQ(log_.Texts(), (std::vector<std::string>{"main(): read reboot app (beta, 3).",
                                                    "main(): disabling app (beta, 3)."}));
  EXPECT_EQ(log_.Lines()[1].notice, 1);
  EXPECT_TRUE(Disabled("beta"));
  EXPECT_FALSE(Disabled("alpha"));
  EXPECT_FALSE(FileExists(path_));
  EXPECT_EQ(rebootAppCount, 3u);  // kept as read
}

TEST_F(RebootAppRule, AnUnknownApplicationIsWarnedAboutAndTheFileRemoved) {
  temp_.Write("rebootApplicationData", "gamma 7\n");
  KepApplyRebootAppRule();
  ASSERT_EQ(log_.Lines().size(), 3u) << log_.Dump();
  EXPECT_EQ(log_.Lines()[2].text, "main(): could not disable app gamma.");
  EXPECT_EQ(log_.Lines()[2].level, 2);
  EXPECT_FALSE(Disabled("alpha"));
  EXPECT_FALSE(Disabled("beta"));
  EXPECT_FALSE(FileExists(path_));
}

TEST_F(RebootAppRule, ANegativeCountWrapsAndCountsAsReached) {
  temp_.Write("rebootApplicationData", "alpha -1\n");
  KepApplyRebootAppRule();
  EXPECT_TRUE(log_.Contains("main(): read reboot app (alpha, -1).")) << log_.Dump();
  EXPECT_TRUE(Disabled("alpha"));
  EXPECT_FALSE(FileExists(path_));
}
