// One configuration line: the keyword tables of both scopes and their
// dispatch, and the closing of an application block.
#include <string.h>
#include <strings.h>

#include "ZelLog.h"
#include "kep_config.h"
#include "reader_tokens.h"

namespace {

KepSettings &Settings() { return KepMutableSettings(); }

// Global keywords.
int KillDelay(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenKillDelay, 2, 60, &Settings().killDelay);
}
int KillRetries(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenKillRetries, 0, 10, &Settings().killRetries);
}
int DisableReboot(KepParseContext *c) {
  return ProcessBoolToken(c, kKepTokenDisableReboot, &Settings().disableReboot);
}
int DisableReset(KepParseContext *c) {
  return ProcessBoolToken(c, kKepTokenDisableReset, &Settings().disableReset);
}
int WdTimeout(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenWdTimeout, 0, 300, &Settings().wdTimeout);
}
int StartSyncTime(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenStartSyncTime, 1, 20, &Settings().startSyncTime);
}
int InitSyncTime(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenInitSyncTime, 1, 60, &Settings().initSyncTime);
}
int StopSyncTime(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenStopSyncTime, 1, 60, &Settings().stopSyncTime);
}
int DeathMonitorPeriod(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenDeathMonitorPeriod, 10, 3600, &Settings().deathMonitorPeriod);
}
int HwWatchdogTimeout(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenHwWatchdogTimeout, 1, 600, &Settings().hwWatchdogTimeout);
}
int DeathMonitorMaxDeath(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenDeathMonitorMaxDeath, 2, 100,
                          &Settings().deathMonitorMaxDeath);
}

// Application keywords.
int StartSync(KepParseContext *c) {
  return ProcessStringToken(c, kKepTokenStartSync, &c->app.startFile);
}
int InitSync(KepParseContext *c) {
  return ProcessStringToken(c, kKepTokenInitSync, &c->app.initFile);
}
int StopSync(KepParseContext *c) {
  return ProcessStringToken(c, kKepTokenStopSync, &c->app.stopFile);
}
int WdEnable(KepParseContext *c) {
  return ProcessStringToken(c, kKepTokenWdEnable, &c->app.wdFile);
}
int StartLevel(KepParseContext *c) {
  return ProcessUintToken(c, kKepTokenStartLevel, 0, 100, &c->app.startLevel);
}
int DoNotDeathMonitor(KepParseContext *c) {
  return ProcessBoolToken(c, kKepTokenDoNotDeathMonitor, &c->app.doNotDeathMonitor);
}
int NoNewPrivileges(KepParseContext *c) {
  return ProcessBoolToken(c, kKepTokenNoNewPrivileges, &c->app.privileges.noNewPrivileges);
}

struct KepKeyword {
  const char *name;
  int (*handler)(KepParseContext *);
};

const KepKeyword kKepGlobalKeywords[] = {
    {"application", ProcessApplicationToken},
    {"globalEnv", ProcessGlobalEnvToken},
    {"killDelay", KillDelay},
    {"killRetries", KillRetries},
    {"disableReboot", DisableReboot},
    {"disableReset", DisableReset},
    {"wdTimeout", WdTimeout},
    {"startSyncTime", StartSyncTime},
    {"initSyncTime", InitSyncTime},
    {"stopSyncTime", StopSyncTime},
    {"deathMonitorAction", ProcessDeathMonActionToken},
    {"deathMonitorPeriod", DeathMonitorPeriod},
    {"deathMonitorMaxDeath", DeathMonitorMaxDeath},
    {"hwWatchdog", ProcessHwWatchdogToken},
    {"hwWatchdogTimeout", HwWatchdogTimeout},
};

const KepKeyword kKepAppKeywords[] = {
    {"deathAction", ProcessDeathActionToken},
    {"arg", ProcessArgToken},
    {"env", ProcessEnvToken},
    {"startSync", StartSync},
    {"initSync", InitSync},
    {"stopSync", StopSync},
    {"wdEnable", WdEnable},
    {"startLevel", StartLevel},
    {"deathMonitorAction", ProcessDeathMonAppActionToken},
    {"doNotDeathMonitor", DoNotDeathMonitor},
    {"user", ProcessUserToken},
    {"group", ProcessGroupToken},
    {"umask", ProcessUmaskToken},
    {"workDir", ProcessWorkDirToken},
    {"limit", ProcessLimitToken},
    {"nice", ProcessNiceToken},
    {"noNewPrivileges", NoNewPrivileges},
    {"capabilities", ProcessCapabilitiesToken},
};

template <size_t N>
int (*KepFindHandler(const KepKeyword (&table)[N], const char *word))(KepParseContext *) {
  for (const KepKeyword &keyword : table) {
    if (strcasecmp(keyword.name, word) == 0) return keyword.handler;
  }
  return nullptr;
}

// "}": the open record, now Configured, goes to the end of the list.
int KepCloseApplication(KepParseContext *context) {
  context->app.state = KEP_APP_STATE_CONFIGURED;
  context->app.index = context->nextIndex;
  try {
    KepGetAppList().push_back(std::move(context->app));
  } catch (...) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): new failed for application %s, file: %s, line: %i.", "ProcessConfigLine",
            context->app.name.c_str(), context->fileName, static_cast<int>(context->lineNumber));
    return KEP_ERR_ALLOC;
  }
  if (context->notes != nullptr) {
    try {
      context->notes->blocks.push_back(context->block);
    } catch (...) {
      // Notes are for kep-check; without memory it lacks a line number.
    }
  }
  context->app = KepApp{};
  context->inApplication = 0;
  ++context->nextIndex;
  return KEP_OK;
}

}  // namespace

int ProcessConfigLine(char *line, KepParseContext *context) {
  if (line == nullptr || context == nullptr) return KEP_ERR_INVALID_ARG;
  context->savePtr = line;
  char *word = strtok_r(line, kKepSeparators, &context->savePtr);
  if (word == nullptr || word[0] == '#') return KEP_OK;

  const int lineNumber = static_cast<int>(context->lineNumber);
  context->keyword = word;
  if (context->inApplication) {
    if (strcmp(word, "}") == 0) return KepCloseApplication(context);
    auto handler = KepFindHandler(kKepAppKeywords, word);
    if (handler == nullptr) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
              "%s(): Invalid application token (\"%s\") found, file: %s, line: %i.", __func__, word,
              context->fileName, lineNumber);
      return KEP_ERR_BAD_APP_TOKEN;
    }
    return handler(context);
  }
  auto handler = KepFindHandler(kKepGlobalKeywords, word);
  if (handler == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit,
            "%s(): Invalid token (\"%s\") found, file: %s, line: %i.", __func__, word,
            context->fileName, lineNumber);
    return KEP_ERR_BAD_TOKEN;
  }
  return handler(context);
}
