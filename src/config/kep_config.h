// kep's data model (application records, the application list, the global
// environment, the settings and the value-name tables), the configuration
// reader and the configuration dump. Log unit "KepConfig".
#pragma once

#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>

#include <list>
#include <optional>
#include <string>
#include <vector>

#include "app_run.h"
#include "error_codes.h"

inline constexpr const char *kKepConfigUnit = "KepConfig";

// ---- value-name tables ----

struct KepValueName {
  int32_t value;
  const char *name;  // null ends a table
};

enum KepAppState : uint32_t {
  KEP_APP_STATE_INVALID = 0,
  KEP_APP_STATE_NONE = 1,
  KEP_APP_STATE_CONFIGURED = 2,
  KEP_APP_STATE_START_PENDING = 3,
  KEP_APP_STATE_START_FAILED = 4,
  KEP_APP_STATE_INITIALIZING = 5,
  KEP_APP_STATE_RUNNING = 6,
  KEP_APP_STATE_EXITED = 7,
  KEP_APP_STATE_KILLED = 8,
  KEP_APP_STATE_REAPED = 9,
  // Stopped by the operator (kep-ctl) and kept stopped until started again:
  // no death action, no restart, not watched.
  KEP_APP_STATE_HELD = 10,
};

enum KepDeathAction : uint32_t {
  KEP_DEATH_ACTION_INVALID = 0,
  KEP_DEATH_ACTION_NOT_SET = 1,
  KEP_DEATH_ACTION_NONE = 2,
  KEP_DEATH_ACTION_RESTART = 3,
  KEP_DEATH_ACTION_RESET = 4,
  KEP_DEATH_ACTION_REBOOT = 5,
  KEP_DEATH_ACTION_HALT = 6,
};

extern const KepValueName KepAppStateNames[];
extern const KepValueName KepDeathActionNames[];

// Name of the first row holding value; when none does: null if nullIfUnknown
// is 1, "unknown" otherwise.
const char *KepValueToName(const KepValueName *table, int32_t value, int nullIfUnknown);
// Value of the first row named name (ignoring case only when ignoreCase is 1);
// the ending row's value (0) when none is.
int32_t KepNameToValue(const KepValueName *table, const char *name, int ignoreCase);

const char *KepDeathActionName(uint32_t value);
uint32_t KepDeathActionFromName(const char *name);  // exact match; 0 when unknown
const char *KepAppStateName(uint32_t value);

// ---- what an application runs as ----

// kKepUnlimited in a limit: no limit (RLIM_INFINITY).
inline constexpr uint64_t kKepUnlimited = UINT64_MAX;

struct KepLimit {
  int32_t resource;  // RLIMIT_*
  uint64_t soft, hard;
};

// Who an application runs as and with which limits, as configured. Left at
// the defaults (nothing configured) it runs as kep runs, as it always has.
struct KepAppPrivileges {
  std::optional<std::string> user, group;  // a name or an id, as written
  std::optional<uint32_t> umask;
  std::optional<std::string> workDir;
  std::vector<KepLimit> limits;  // one per resource, in the order first configured
  std::optional<int32_t> nice;
  uint8_t noNewPrivileges = 0;
  std::optional<uint64_t> capabilities;  // those kept: bit N for capability N

  bool Configured() const {
    return user || group || umask || workDir || !limits.empty() || nice || noNewPrivileges != 0 ||
           capabilities;
  }
};

// The resources of limit (nofile, nproc, ...) and the capabilities the build
// knows (cap_chown, ...); each table ends with the value -1.
extern const KepValueName KepLimitNames[];
extern const KepValueName KepCapabilityNames[];

// ---- application records ----

struct KepApp {
  std::string name;
  uint32_t deathAction = KEP_DEATH_ACTION_INVALID;
  uint32_t deathMonitorAction = KEP_DEATH_ACTION_NOT_SET;
  uint8_t doNotDeathMonitor = 0;
  uint32_t startLevel = 0;
  uint32_t index = 0;
  std::optional<std::string> startFile;
  std::optional<std::string> initFile;
  std::optional<std::string> stopFile;
  std::optional<std::string> wdFile;
  std::list<std::string> argList;
  std::list<std::string> envList;  // NAME=value
  KepAppPrivileges privileges;
  uint32_t state = KEP_APP_STATE_NONE;
  uint8_t disabled = 0;
  int32_t pid = 0;
  // The SIGCHLD handler writes these while the main flow may be reading.
  volatile uint32_t signalNum = 0;
  volatile int32_t exitStatus = 0;
  volatile uint8_t childExited = 0;
  uint32_t startCount = 0;
  uint32_t sigtermCount = 0;
  struct timeval sigtermTime = {0, 0};
  uint8_t sigkillSent = 0;
  struct timeval sigkillTime = {0, 0};
  struct timeval execTime = {0, 0};
  std::list<uint32_t> deathTimeList;  // whole seconds of uptime, oldest first
  KepAppRun run;                      // never dumped
};

// Held by value; nodes never move, so a reference to a record stays valid until
// KepDeallocateAppList.
using KepAppList = std::list<KepApp>;
using KepEnvList = std::list<std::string>;

KepAppList &KepGetAppList();
KepEnvList &KepGetGlobalEnvList();

// Disables the first record named name (exact match). 0, or 1001 when none is.
int KepDisableApp(const char *name);
// Releases everything the record owns and leaves it zeroed in state None;
// safe to call again. 1000 for a null record, else 0.
int KepFreeApp(KepApp *app);
// Releases every record and the global environment. Run with SIGCHLD blocked
// or once the handler can no longer reach the list. Returns 0.
int KepDeallocateAppList();

// ---- settings ----

struct KepSettings {
  uint32_t deathMonitorMaxDeath = 3;
  uint32_t deathMonitorPeriod = 600;
  uint32_t deathMonitorAction = KEP_DEATH_ACTION_NOT_SET;
  uint32_t stopSyncTime = 20;
  uint32_t initSyncTime = 15;
  uint32_t startSyncTime = 5;
  uint32_t wdTimeout = 60;
  uint32_t killRetries = 2;
  uint32_t killDelay = 15;
  uint8_t disableReset = 0;
  uint8_t disableReboot = 0;
  // The board's hardware watchdog that kep feeds while it runs: none unless
  // configured.
  std::optional<std::string> hwWatchdog;
  uint32_t hwWatchdogTimeout = 30;
};

// The one settings record; only the configuration reader writes it.
KepSettings &KepMutableSettings();
// Puts the defaults back (tests and tools that read several files).
void KepResetSettings();

uint32_t KepGetDeathMonitorMaxDeath();
uint32_t KepGetDeathMonitorPeriod();
uint32_t KepGetDeathMonitorAction();
uint32_t KepGetStopSyncTime();
uint32_t KepGetInitSyncTime();
uint32_t KepGetStartSyncTime();
uint32_t KepGetWdTimeout();
uint32_t KepGetKillRetries();
uint32_t KepGetKillDelay();
uint8_t KepGetDisableReset();
uint8_t KepGetDisableReboot();
// The hardware watchdog's device; null when none is configured.
const char *KepGetHwWatchdog();
uint32_t KepGetHwWatchdogTimeout();

// ---- synchronisation files ----

// Directory of the synchronisation files: "/var/local/zel/kep/syncFiles". Tests
// point it at a folder of their own; kep never changes it.
extern const char *kepSyncFilesDir;

// "DIR/BASE-SUFFIX" with BASE the last path component of name; with the empty
// suffix, the prefix of every synchronisation file of the application. Null
// when an argument is null.
std::optional<std::string> KepBuildSyncFilePath(const char *name, const char *suffix);

// ---- configuration reader ----

// Where things stand in the file, for kep-check: noted by a read when asked.
struct KepReadNotes {
  struct Block {
    uint32_t line = 0;                    // of its "application" keyword
    uint32_t deathMonitorActionLine = 0;  // of its last deathMonitorAction; 0: none
  };
  // A flag keyword followed by a word that is not a comment: the word is ignored.
  struct IgnoredWord {
    int block = -1;  // the block it is in, counting from 0; -1 in global scope
    uint32_t line = 0;
    std::string keyword, word;
  };
  std::vector<Block> blocks;  // the blocks that closed, in file order
  std::vector<IgnoredWord> ignoredWords;
};

struct KepParseContext {
  uint32_t lineNumber = 0;
  const char *fileName = nullptr;
  char *savePtr = nullptr;
  uint8_t inApplication = 0;
  uint32_t nextIndex = 0;
  KepApp app;
  // Not read by any handler: what is noted for kep-check (null: nothing).
  KepReadNotes *notes = nullptr;
  KepReadNotes::Block block;
  const char *keyword = nullptr;  // the current line's first word
};

// Reads the configuration file into the settings, the global environment and
// the application list; notes where things are when notes is given. 0, or the
// status of the first failure.
int KepReadConfig(const char *path, KepReadNotes *notes = nullptr);
int ProcessConfigLine(char *line, KepParseContext *context);
int ProcessApplicationToken(KepParseContext *context);
int ProcessDeathActionToken(KepParseContext *context);
int ProcessDeathMonActionToken(KepParseContext *context);
int ProcessDeathMonAppActionToken(KepParseContext *context);
int ProcessEnvToken(KepParseContext *context);
int ProcessGlobalEnvToken(KepParseContext *context);
int ProcessArgToken(KepParseContext *context);
// hwWatchdog: the device, as quoted text or as a word.
int ProcessHwWatchdogToken(KepParseContext *context);
int ProcessUintToken(KepParseContext *context, int token, uint32_t minimum, uint32_t maximum,
                     uint32_t *destination);
int ProcessStringToken(KepParseContext *context, int token,
                       std::optional<std::string> *destination);
int ProcessBoolToken(KepParseContext *context, int token, uint8_t *destination);
char *KepGetQuotedString(char *text);
int KepPushEnv(const char *name, const char *value, std::list<std::string> *list);

// ---- configuration dump (level 3, notice 0, unit "KepConfig") ----

int KepLogSettings();
int KepLogGlobalEnv();
int KepLogAppData(int configFields, int runtimeFields);
