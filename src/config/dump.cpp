// The configuration dump: settings, global environment and application list,
// written to the log in a fixed layout.
#include <stdio.h>

#include "ZelLog.h"
#include "kep_config.h"

namespace {

const char *KepBoolName(uint8_t value) { return value != 0 ? "true" : "false"; }
const char *KepFileName(const std::optional<std::string> &file) {
  return file.has_value() ? file->c_str() : "NULL";
}

void KepLogListEntries(const std::list<std::string> &list) {
  unsigned number = 0;
  for (const std::string &entry : list) {
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "       %u: [%s]", ++number, entry.c_str());
  }
}

void KepLogRuntimeFields(const KepApp &app) {
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      signalNum: %u",
          static_cast<unsigned>(app.signalNum));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      exitStatus: %u",
          static_cast<unsigned>(app.exitStatus));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      startCount: %u", app.startCount);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      sigtermTime: %li.%6.6li",
          static_cast<long>(app.sigtermTime.tv_sec), static_cast<long>(app.sigtermTime.tv_usec));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      sigtermCount: %u", app.sigtermCount);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      sigkillSent: %s", KepBoolName(app.sigkillSent));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      sigkillTime: %li.%6.6li",
          static_cast<long>(app.sigkillTime.tv_sec), static_cast<long>(app.sigkillTime.tv_usec));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      execTime: %li.%6.6li",
          static_cast<long>(app.execTime.tv_sec), static_cast<long>(app.execTime.tv_usec));
}

const char *KepLimitValue(uint64_t value, char (&text)[24]) {
  if (value == kKepUnlimited) return "unlimited";
  snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  return text;
}

// Only what is configured: a record without any of it dumps as it always did.
// Plain buffers: the state machine dumps too, where nothing may throw.
void KepLogPrivileges(const KepAppPrivileges &p) {
  if (p.user) Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      user: %s", p.user->c_str());
  if (p.group) Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      group: %s", p.group->c_str());
  if (p.umask) Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      umask: %03o", *p.umask);
  if (p.workDir) Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      workDir: %s", p.workDir->c_str());
  for (const KepLimit &limit : p.limits) {
    char soft[24], hard[24];
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      limit %s: %s %s",
            KepValueToName(KepLimitNames, limit.resource, 0), KepLimitValue(limit.soft, soft),
            KepLimitValue(limit.hard, hard));
  }
  if (p.nice) Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      nice: %i", static_cast<int>(*p.nice));
  if (p.noNewPrivileges != 0)
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      noNewPrivileges: true");
  if (!p.capabilities) return;
  char kept[1024] = "";
  size_t length = 0;
  for (const KepValueName *row = KepCapabilityNames; row->name != nullptr; ++row) {
    if ((*p.capabilities >> row->value & 1) == 0 || length >= sizeof kept) continue;
    length += static_cast<size_t>(
        snprintf(kept + length, sizeof kept - length, "%s%s", length == 0 ? "" : " ", row->name));
  }
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      capabilities: [%s]", kept);
}

void KepLogConfigFields(const KepApp &app) {
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      deathAction: %s (%u)",
          KepDeathActionName(app.deathAction), app.deathAction);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      deathMonitorAction: %s (%u)",
          KepDeathActionName(app.deathMonitorAction), app.deathMonitorAction);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      doNotDeathMonitor: %s",
          KepBoolName(app.doNotDeathMonitor));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      startLevel: %u", app.startLevel);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      index: %u", app.index);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      startFile: %s", KepFileName(app.startFile));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      initFile: %s", KepFileName(app.initFile));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      stopFile: %s", KepFileName(app.stopFile));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      wdFile: %s", KepFileName(app.wdFile));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit,
          "      argList (size = %u):", static_cast<unsigned>(app.argList.size()));
  KepLogListEntries(app.argList);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit,
          "      envList (size = %u):", static_cast<unsigned>(app.envList.size()));
  KepLogListEntries(app.envList);
  KepLogPrivileges(app.privileges);
}

}  // namespace

int KepLogSettings() {
  const KepSettings &settings = KepMutableSettings();
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "Configuration Settings:");
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   killDelay:      %u", settings.killDelay);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   killRetries:    %u", settings.killRetries);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   wdTimeout:      %u", settings.wdTimeout);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   startSyncTime:  %u", settings.startSyncTime);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   initSyncTime:   %u", settings.initSyncTime);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   stopSyncTime:   %u", settings.stopSyncTime);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   disableReboot:  %s",
          KepBoolName(settings.disableReboot));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   disableReset:   %s",
          KepBoolName(settings.disableReset));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   deathMonAction: %s",
          KepDeathActionName(settings.deathMonitorAction));
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   deathMonPeriod: %u", settings.deathMonitorPeriod);
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   deathMonCount:  %u", settings.deathMonitorMaxDeath);
  // Only when configured: without it the dump is what it always was.
  if (settings.hwWatchdog) {
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   hwWatchdog:     %s", settings.hwWatchdog->c_str());
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   hwWatchdogTime: %u", settings.hwWatchdogTimeout);
  }
  return KEP_OK;
}

int KepLogGlobalEnv() {
  const KepEnvList &list = KepGetGlobalEnvList();
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit,
          "Global environment list (size = %u):", static_cast<unsigned>(list.size()));
  unsigned number = 0;
  for (const std::string &entry : list) {
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   %u: [%s]", ++number, entry.c_str());
  }
  return KEP_OK;
}

int KepLogAppData(int configFields, int runtimeFields) {
  const KepAppList &list = KepGetAppList();
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit,
          "Log application data (size = %u):", static_cast<unsigned>(list.size()));
  unsigned number = 0;
  for (const KepApp &app : list) {
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "   %u: %s", ++number, app.name.c_str());
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      state: %s (%u)", KepAppStateName(app.state),
            app.state);
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      disabled: %s", KepBoolName(app.disabled));
    Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "      pid: %u", static_cast<unsigned>(app.pid));
    if (runtimeFields != 0) KepLogRuntimeFields(app);
    if (configFields != 0) KepLogConfigFields(app);
  }
  return KEP_OK;
}
