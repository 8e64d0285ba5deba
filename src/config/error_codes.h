// The error codes shared by every kep unit: value, name, meaning. 0 is success.
#pragma once

#define KEP_ERROR_CODES(X)                                                       \
  X(1000, KEP_ERR_INVALID_ARG, "null or invalid argument")                       \
  X(1001, KEP_ERR_NOT_FOUND, "not found")                                        \
  X(1002, KEP_ERR_FORK, "fork failed")                                           \
  X(1003, KEP_ERR_KILL, "kill failed")                                           \
  X(1004, KEP_ERR_COPY, "copying a text failed")                                 \
  X(1005, KEP_ERR_OPEN, "a file cannot be opened")                               \
  X(1009, KEP_ERR_MKDIR, "creating a directory failed")                          \
  X(1010, KEP_ERR_CHDIR, "entering a directory failed")                          \
  X(1011, KEP_ERR_GETCWD, "reading the current directory failed")                \
  X(1015, KEP_ERR_ALLOC, "an allocation failed")                                 \
  X(1016, KEP_ERR_NO_BRACE, "no opening brace after the application name")       \
  X(1017, KEP_ERR_NO_APP_NAME, "no application name")                            \
  X(1018, KEP_ERR_NO_DEATH_ACTION, "deathAction without a value")                \
  X(1019, KEP_ERR_NO_ARG, "arg without quoted text")                             \
  X(1020, KEP_ERR_NO_ENV_NAME, "env or globalEnv without a name")                \
  X(1021, KEP_ERR_NO_ENV_VALUE, "env without quoted text")                       \
  X(1022, KEP_ERR_NO_UINT, "unsigned keyword without a value")                   \
  X(1023, KEP_ERR_BAD_UINT, "unsigned value not a number")                       \
  X(1024, KEP_ERR_UINT_LOW, "unsigned value below the minimum")                  \
  X(1025, KEP_ERR_UINT_HIGH, "unsigned value above the maximum")                 \
  X(1027, KEP_ERR_BAD_TOKEN, "no global keyword")                                \
  X(1028, KEP_ERR_BAD_APP_TOKEN, "no application keyword")                       \
  X(1029, KEP_ERR_NO_GLOBAL_ENV_VALUE, "globalEnv without quoted text")          \
  X(1030, KEP_ERR_BAD_DEATH_ACTION, "invalid deathAction value")                 \
  X(1031, KEP_ERR_SYNC_PATH, "building the default synchronisation path failed") \
  X(1035, KEP_ERR_EMPTY_PATH, "empty path")                                      \
  X(1036, KEP_ERR_SYNC_TIMEOUT, "synchronisation file not seen in time")         \
  X(1037, KEP_ERR_ALREADY_DAEMON, "already a daemon")                            \
  X(1038, KEP_ERR_SETSID, "setsid failed")                                       \
  X(1039, KEP_ERR_SYSTEM, "running the reboot command failed")                   \
  X(1040, KEP_ERR_SIGACTION, "a sigaction call failed")                          \
  X(1041, KEP_ERR_SIGEMPTYSET, "sigemptyset failed")                             \
  X(1042, KEP_ERR_SIGADDSET, "sigaddset failed")                                 \
  X(1043, KEP_ERR_SIGPROCMASK, "sigprocmask failed")                             \
  X(1044, KEP_ERR_NO_REBOOT_CMD, "the reboot command was not found")             \
  X(1045, KEP_ERR_NO_DEATH_MON_ACTION, "deathMonitorAction without a value")     \
  X(1046, KEP_ERR_BAD_DEATH_MON_ACTION, "invalid deathMonitorAction value")      \
  X(1047, KEP_ERR_NO_HW_WATCHDOG, "hwWatchdog without a device")                 \
  X(1060, KEP_ERR_NO_PRIVILEGE_VALUE,                                            \
    "user, group, umask, workDir, limit, nice or capabilities without a value")  \
  X(1061, KEP_ERR_BAD_PRIVILEGE_VALUE,                                           \
    "invalid user, group, umask, workDir, limit, nice or capabilities value")    \
  X(1062, KEP_ERR_UNKNOWN_ACCOUNT, "an application's user or group cannot be resolved")

enum KepErrorCode : int {
  KEP_OK = 0,
#define KEP_ERROR_CODE_ENUM(value, name, meaning) name = value,
  KEP_ERROR_CODES(KEP_ERROR_CODE_ENUM)
#undef KEP_ERROR_CODE_ENUM
};

// The meaning of an error code, for test messages and tools; "unknown status"
// for a value not in the table.
const char *KepErrorCodeMeaning(int status);
