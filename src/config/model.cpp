// The application list, the global environment and the settings.
#include <string.h>
#include <unistd.h>

#include "kep_config.h"

namespace {
KepAppList appList;
KepEnvList globalEnvList;
KepSettings settings;
}  // namespace

const char *kepSyncFilesDir = "/var/local/zel/kep/syncFiles";

KepAppList &KepGetAppList() { return appList; }
KepEnvList &KepGetGlobalEnvList() { return globalEnvList; }

int KepDisableApp(const char *name) {
  if (name == nullptr) return KEP_ERR_NOT_FOUND;
  for (KepApp &app : appList) {
    if (app.name == name) {
      app.disabled = 1;
      return KEP_OK;
    }
  }
  return KEP_ERR_NOT_FOUND;
}

int KepFreeApp(KepApp *app) {
  if (app == nullptr) return KEP_ERR_INVALID_ARG;
  if (app->run.execReportFd >= 0) close(app->run.execReportFd);
  // A fresh record releases every owned text and list; its defaults are then
  // zeroed as the released state asks.
  *app = KepApp{};
  app->deathMonitorAction = 0;
  app->state = KEP_APP_STATE_NONE;
  return KEP_OK;
}

int KepDeallocateAppList() {
  while (!appList.empty()) {
    KepFreeApp(&appList.front());
    appList.pop_front();
  }
  globalEnvList.clear();
  return KEP_OK;
}

KepSettings &KepMutableSettings() { return settings; }
void KepResetSettings() { settings = KepSettings{}; }

uint32_t KepGetDeathMonitorMaxDeath() { return settings.deathMonitorMaxDeath; }
uint32_t KepGetDeathMonitorPeriod() { return settings.deathMonitorPeriod; }
uint32_t KepGetDeathMonitorAction() { return settings.deathMonitorAction; }
uint32_t KepGetStopSyncTime() { return settings.stopSyncTime; }
uint32_t KepGetInitSyncTime() { return settings.initSyncTime; }
uint32_t KepGetStartSyncTime() { return settings.startSyncTime; }
uint32_t KepGetWdTimeout() { return settings.wdTimeout; }
uint32_t KepGetKillRetries() { return settings.killRetries; }
uint32_t KepGetKillDelay() { return settings.killDelay; }
uint8_t KepGetDisableReset() { return settings.disableReset; }
uint8_t KepGetDisableReboot() { return settings.disableReboot; }
const char *KepGetHwWatchdog() {
  return settings.hwWatchdog ? settings.hwWatchdog->c_str() : nullptr;
}
uint32_t KepGetHwWatchdogTimeout() { return settings.hwWatchdogTimeout; }

std::optional<std::string> KepBuildSyncFilePath(const char *name, const char *suffix) {
  if (name == nullptr || suffix == nullptr) return std::nullopt;
  const char *slash = strrchr(name, '/');
  const char *base = slash != nullptr ? slash + 1 : name;
  try {
    std::string path;
    path.reserve(strlen(kepSyncFilesDir) + strlen(base) + strlen(suffix) + 2);
    path.append(kepSyncFilesDir).append("/").append(base).append("-").append(suffix);
    return path;
  } catch (...) {
    // The text cannot be allocated: callers report a null path.
    return std::nullopt;
  }
}
