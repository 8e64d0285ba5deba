// What the keyword dispatch (keywords.cpp) and the token handlers
// (tokens.cpp) of the configuration reader share. Private to "KepConfig".
#pragma once

#include "kep_config.h"

inline constexpr const char *kKepSeparators = " \t\n\r";

// Token numbers: the numbers the handlers' messages print as "token %i". The
// flags print none; theirs only keep the numbering unique.
enum KepToken : int {
  kKepTokenKillDelay = 1,
  kKepTokenKillRetries = 2,
  kKepTokenDisableReboot = 3,
  kKepTokenDisableReset = 4,
  kKepTokenWdTimeout = 5,
  kKepTokenStartSyncTime = 6,
  kKepTokenInitSyncTime = 7,
  kKepTokenStopSyncTime = 8,
  kKepTokenDeathMonitorPeriod = 10,
  kKepTokenDeathMonitorMaxDeath = 11,
  kKepTokenStartLevel = 14,
  kKepTokenStartSync = 17,
  kKepTokenInitSync = 18,
  kKepTokenStopSync = 19,
  kKepTokenWdEnable = 20,
  kKepTokenDoNotDeathMonitor = 22,
  kKepTokenHwWatchdogTimeout = 23,
  kKepTokenNoNewPrivileges = 40,
};

// The next word of the line being read; null at its end.
char *KepNextWord(KepParseContext *context);

// What an application runs as (privilege_tokens.cpp); noNewPrivileges is a
// flag of ProcessBoolToken's.
int ProcessUserToken(KepParseContext *context);
int ProcessGroupToken(KepParseContext *context);
int ProcessUmaskToken(KepParseContext *context);
int ProcessWorkDirToken(KepParseContext *context);
int ProcessLimitToken(KepParseContext *context);
int ProcessNiceToken(KepParseContext *context);
int ProcessCapabilitiesToken(KepParseContext *context);
