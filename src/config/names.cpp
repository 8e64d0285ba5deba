// The value-name tables of application states and death actions, and their lookups.
#include <string.h>
#include <strings.h>

#include "kep_config.h"

const KepValueName KepAppStateNames[] = {
    {KEP_APP_STATE_INVALID, "Invalid"},
    {KEP_APP_STATE_NONE, "None"},
    {KEP_APP_STATE_CONFIGURED, "Configured"},
    {KEP_APP_STATE_START_PENDING, "Start_Pending"},
    {KEP_APP_STATE_START_FAILED, "Start_Failed"},
    {KEP_APP_STATE_INITIALIZING, "Initializing"},
    {KEP_APP_STATE_RUNNING, "Running"},
    {KEP_APP_STATE_EXITED, "Exited"},
    {KEP_APP_STATE_KILLED, "Killed"},
    {KEP_APP_STATE_REAPED, "Reaped"},
    {KEP_APP_STATE_HELD, "Held"},
    {0, nullptr},
};

const KepValueName KepDeathActionNames[] = {
    {KEP_DEATH_ACTION_INVALID, "invalid"}, {KEP_DEATH_ACTION_NOT_SET, "not_set"},
    {KEP_DEATH_ACTION_NONE, "none"},       {KEP_DEATH_ACTION_RESTART, "restart"},
    {KEP_DEATH_ACTION_RESET, "reset"},     {KEP_DEATH_ACTION_REBOOT, "reboot"},
    {KEP_DEATH_ACTION_HALT, "halt"},       {0, nullptr},
};

const char *KepValueToName(const KepValueName *table, int32_t value, int nullIfUnknown) {
  if (table != nullptr) {
    for (const KepValueName *row = table; row->name != nullptr; ++row) {
      if (row->value == value) return row->name;
    }
  }
  return nullIfUnknown == 1 ? nullptr : "unknown";
}

int32_t KepNameToValue(const KepValueName *table, const char *name, int ignoreCase) {
  if (table == nullptr) return 0;
  const KepValueName *row = table;
  for (; row->name != nullptr; ++row) {
    if (name == nullptr) continue;
    int differs = ignoreCase == 1 ? strcasecmp(row->name, name) : strcmp(row->name, name);
    if (differs == 0) return row->value;
  }
  return row->value;
}

const char *KepDeathActionName(uint32_t value) {
  return KepValueToName(KepDeathActionNames, static_cast<int32_t>(value), 0);
}

uint32_t KepDeathActionFromName(const char *name) {
  return static_cast<uint32_t>(KepNameToValue(KepDeathActionNames, name, 0));
}

const char *KepAppStateName(uint32_t value) {
  return KepValueToName(KepAppStateNames, static_cast<int32_t>(value), 0);
}
