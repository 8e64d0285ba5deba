// Starting an application against the fake fork and clock: the parent's
// bookkeeping, the stale-file removal and the bounded start-file wait.
#include <errno.h>
#include <gtest/gtest.h>

#include "fake.h"
#include "kep_start_app.h"
#include "kep_test.h"

using kep::fake::World;

namespace {

class StartSim : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModel();
    kep::fake::Reset();
    savedSyncDir_ = kepSyncFilesDir;
    kepSyncFilesDir = sync_.Path().c_str();
  }
  void TearDown() override {
    kepSyncFilesDir = savedSyncDir_;
    ResetModel();
  }

  KepApp &Add(const std::string &name) {
    KepApp app;
    app.name = name;
    app.index = 3;
    app.state = KEP_APP_STATE_START_PENDING;
    KepGetAppList().push_back(app);
    return KepGetAppList().back();
  }

  TempDir sync_;
  const char *savedSyncDir_ = nullptr;
};

TEST_F(StartSim, AStartBooksTheChildAndWaitsForItsStartFile) {
  KepApp &app = Add(KEP_TEST_APP);
  app.startFile = sync_.File("kep-test-app-start");
  app.startCount = 4;
  // Stale files of this application, and of one whose name merely begins alike.
  for (const char *name : {"kep-test-app-start", "kep-test-app-wd", "kep-test-app-bar-start",
                           "other-start", "kep-test-app"}) {
    sync_.Write(name, "old");
  }
  kep::fake::WriteSyncFile(*app.startFile, 2000, 0.5);
  LogCapture log;
  EXPECT_EQ(KepStartOneApp(&app), 0);
  EXPECT_EQ(app.pid, 2000);
  EXPECT_EQ(app.state, KEP_APP_STATE_RUNNING);
  EXPECT_EQ(app.startCount, 5u);
  EXPECT_FALSE(FileExists(sync_.File("kep-test-app-start")));
  EXPECT_FALSE(FileExists(sync_.File("kep-test-app-wd")));
  EXPECT_FALSE(FileExists(sync_.File("kep-test-app-bar-start")));
  EXPECT_TRUE(FileExists(sync_.File("other-start")));
  EXPECT_TRUE(FileExists(sync_.File("kep-test-app")));
  EXPECT_EQ(World().sleptUs.front(), 10000u);
  EXPECT_GE(kep::fake::NowSeconds(), 1000.5);
  EXPECT_LT(kep::fake::NowSeconds(), 1000.6);
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"KepStartOneApp(): successfully started " +
                                      std::string(KEP_TEST_APP) + "[3], pid = 2000."}));
  EXPECT_EQ(log.Lines()[0].level, 3);
  EXPECT_EQ(log.Lines()[0].notice, 1);
  EXPECT_EQ(log.Lines()[0].file, "KepStartApp");
}

TEST_F(StartSim, AStartFileNeverSeenOnlyWarns) {
  KepMutableSettings().startSyncTime = 2;
  KepApp &app = Add(KEP_TEST_APP);
  app.startFile = sync_.File("kep-test-app-start");
  // Written, but for another process.
  kep::fake::WriteSyncFile(*app.startFile, 1999);
  LogCapture log;
  EXPECT_EQ(KepStartOneApp(&app), 0);
  // The pause after the fork, then 200 polls each followed by its sleep.
  std::vector<unsigned long long> expected(201, 10000);
  EXPECT_EQ(World().sleptUs, expected);
  ASSERT_EQ(log.Lines().size(), 2u) << log.Dump();
  EXPECT_EQ(log.Lines()[1].text, "KepStartOneApp(): KepWaitForSyncFile(" + *app.startFile +
                                     ", 2000, 2) for " + KEP_TEST_APP + "[3] failed (1036).");
  EXPECT_EQ(log.Lines()[1].level, 2);
  EXPECT_EQ(app.state, KEP_APP_STATE_RUNNING);
}

TEST_F(StartSim, WithoutStartFileOrSyncTimeThereIsNoWait) {
  KepApp &noFile = Add(KEP_TEST_APP);
  EXPECT_EQ(KepStartOneApp(&noFile), 0);
  EXPECT_EQ(World().sleptUs, (std::vector<unsigned long long>{10000}));
  World().sleptUs.clear();
  KepMutableSettings().startSyncTime = 0;
  KepApp &noTime = Add(KEP_TEST_APP);
  noTime.startFile = sync_.File("kep-test-app-start");
  EXPECT_EQ(KepStartOneApp(&noTime), 0);
  EXPECT_EQ(World().sleptUs, (std::vector<unsigned long long>{10000}));
  EXPECT_EQ(World().forked, (std::vector<pid_t>{2000, 2001}));
}

TEST_F(StartSim, AFailedForkLeavesTheRecordExited) {
  KepApp &app = Add(KEP_TEST_APP);
  World().forkResult = EAGAIN;
  LogCapture log;
  EXPECT_EQ(KepStartOneApp(&app), 1002);
  EXPECT_EQ(app.state, KEP_APP_STATE_EXITED);
  EXPECT_EQ(app.startCount, 0u);
  EXPECT_EQ(app.pid, 0);
  EXPECT_TRUE(World().sleptUs.empty());
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{"KepStartOneApp(): fork() failed, errno = 11."}));
}

TEST_F(StartSim, TheWaitPollsEveryTenMillisecondsUpToItsBound) {
  EXPECT_EQ(KepWaitForSyncFile(nullptr, 2000, 5), 1000);
  EXPECT_TRUE(World().sleptUs.empty());

  EXPECT_EQ(KepWaitForSyncFile("/sync/a-stop", 2000, 3), 1036);
  EXPECT_EQ(World().sleptUs, std::vector<unsigned long long>(300, 10000));

  World().sleptUs.clear();
  kep::fake::WriteSyncFile("/sync/a-stop", 2000);
  EXPECT_EQ(KepWaitForSyncFile("/sync/a-stop", 2000, 3), 0);
  EXPECT_TRUE(World().sleptUs.empty());

  kep::fake::WriteSyncFile("/sync/a-stop", 2000, 1.0);
  EXPECT_EQ(KepWaitForSyncFile("/sync/a-stop", 2000, 1), 1036);
  EXPECT_EQ(World().sleptUs.size(), 100u);
}

}  // namespace
