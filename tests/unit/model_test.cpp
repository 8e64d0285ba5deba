#include <gtest/gtest.h>

#include "kep_config.h"
#include "kep_test.h"

TEST(ValueNames, LookupsFollowTheTables) {
  EXPECT_STREQ(KepValueToName(KepAppStateNames, 9, 0), "Reaped");
  EXPECT_STREQ(KepValueToName(KepAppStateNames, 10, 0), "unknown");
  EXPECT_EQ(KepValueToName(KepAppStateNames, 10, 1), nullptr);
  EXPECT_STREQ(KepValueToName(KepDeathActionNames, 0, 0), "invalid");
  EXPECT_EQ(KepNameToValue(KepDeathActionNames, "halt", 0), 6);
  EXPECT_EQ(KepNameToValue(KepDeathActionNames, "HALT", 0), 0);
  EXPECT_EQ(KepNameToValue(KepDeathActionNames, "HALT", 1), 6);
  EXPECT_EQ(KepNameToValue(KepDeathActionNames, "sometimes", 0), 0);
  EXPECT_EQ(KepDeathActionFromName("Reboot"), 0u);
  EXPECT_STREQ(KepDeathActionName(7), "unknown");
}

TEST(Model, DisableAppTakesTheFirstExactMatch) {
  ResetModel();
  EXPECT_EQ(KepDisableApp("a"), 1001);
  KepApp app;
  app.name = "a";
  KepGetAppList().push_back(app);
  KepGetAppList().push_back(app);
  EXPECT_EQ(KepDisableApp("A"), 1001);
  EXPECT_EQ(KepDisableApp("a"), 0);
  EXPECT_TRUE(KepGetAppList().front().disabled);
  EXPECT_FALSE(KepGetAppList().back().disabled);
  ResetModel();
}

TEST(Model, FreeingARecordTwiceIsHarmless) {
  KepApp app;
  app.name = "x";
  app.startFile = "/s";
  app.argList = {"-a"};
  app.deathTimeList = {1, 2};
  EXPECT_EQ(KepFreeApp(&app), 0);
  EXPECT_EQ(KepFreeApp(&app), 0);
  EXPECT_EQ(app.state, KEP_APP_STATE_NONE);
  EXPECT_TRUE(app.name.empty());
  EXPECT_FALSE(app.startFile.has_value());
  EXPECT_TRUE(app.argList.empty());
  EXPECT_EQ(KepFreeApp(nullptr), 1000);
  EXPECT_EQ(KepDeallocateAppList(), 0);
}

TEST(Model, SyncFilePathsUseTheBaseName) {
  const char *saved = kepSyncFilesDir;
  kepSyncFilesDir = "/sync";
  EXPECT_EQ(KepBuildSyncFilePath("/usr/bin/app", "start").value(), "/sync/app-start");
  EXPECT_EQ(KepBuildSyncFilePath("app", "").value(), "/sync/app-");
  EXPECT_FALSE(KepBuildSyncFilePath(nullptr, "wd").has_value());
  kepSyncFilesDir = saved;
}
