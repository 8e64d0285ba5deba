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
  KepGetAppList().emplace_back().name = "a";
  KepGetAppList().emplace_back().name = "a";
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
  app.state = KEP_APP_STATE_RUNNING;
  EXPECT_EQ(KepFreeApp(&app), 0);
  EXPECT_EQ(KepFreeApp(&app), 0);
  EXPECT_EQ(app.state, KEP_APP_STATE_NONE);
  EXPECT_TRUE(app.name.empty() && !app.startFile && app.argList.empty() &&
              app.deathTimeList.empty());
  EXPECT_EQ(KepFreeApp(nullptr), 1000);
}
