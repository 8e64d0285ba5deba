// Starting one application and waiting for its synchronisation files.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "ZelPathfind.h"
#include "child_exec.h"
#include "kep_start_app.h"
#include "kep_sys.h"
#include "sync_cleanup.h"

namespace {

constexpr size_t kKepExecPathSize = 300;
constexpr unsigned int kKepSyncPollUs = 10000;
constexpr unsigned int kKepAfterForkUs = 10000;
constexpr unsigned long long kKepTickUs = 500000;

// The vectors point into strings owned by the record and the global list; they
// are plain arrays (calloc) so that an allocation failure is a null, not an
// exception on a supervisor path.
char **KepBuildArgArray(const KepApp &app) {
  size_t slots = app.argList.size() + 2;
  char **argArray = static_cast<char **>(calloc(slots, sizeof(char *)));
  if (argArray == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): failed to allocate argArray (%u).",
            "KepStartOneApp", static_cast<unsigned>(slots));
    return nullptr;
  }
  size_t slot = 0;
  argArray[slot++] = const_cast<char *>(app.name.c_str());
  for (const std::string &arg : app.argList) argArray[slot++] = const_cast<char *>(arg.c_str());
  return argArray;
}

char **KepBuildEnvArray(const KepApp &app) {
  const KepEnvList &globalEnv = KepGetGlobalEnvList();
  size_t slots = globalEnv.size() + app.envList.size() + 1;
  char **envArray = static_cast<char **>(calloc(slots, sizeof(char *)));
  if (envArray == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): failed to allocate envArray (%u).",
            "KepStartOneApp", static_cast<unsigned>(slots));
    return nullptr;
  }
  size_t slot = 0;
  for (const std::string &entry : globalEnv) envArray[slot++] = const_cast<char *>(entry.c_str());
  for (const std::string &entry : app.envList) envArray[slot++] = const_cast<char *>(entry.c_str());
  return envArray;
}

void KepRemoveStaleSyncFiles(const KepApp &app) {
  std::optional<std::string> prefix = KepBuildSyncFilePath(app.name.c_str(), "");
  if (prefix && KepRmFilesWithPrefix(prefix->c_str()) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): KepRmFilesWithPrefix(%s) failed.",
            "KepStartOneApp", prefix->c_str());
  }
}

// After the pause that follows the fork the child has normally reached
// execve: the close-on-exec write end then reads as end-of-file, or the
// report of a failed execve is there. A child that has not got so far yet (a
// slow file system, a standard error that blocks it) must not hold kep up:
// the read never blocks, and the report is looked for again when the exit of
// the child is collected.
void KepTakeExecReport(KepApp *app, int fd) {
  char report[kKepChildReportSize + 1];
  ssize_t got;
  do {
    got = read(fd, report, sizeof report - 1);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && errno == EAGAIN) {
    app->run.execReportFd = fd;
    return;
  }
  close(fd);
  if (got > 0) {
    report[got] = '\0';
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): %s", "KepStartOneApp", report);
  }
}

}  // namespace

const KepAppControl &KepNoControl() {
  static const KepAppControl none;
  return none;
}

int KepStartOneApp(KepApp *app, const KepAppControl &control) {
  static const char *const kFn = "KepStartOneApp";
  if (app == nullptr) return KEP_ERR_INVALID_ARG;
  KepCollectExecReport(app);
  try {
    const char *searchPath = getenv("PATH");
    char *found = ZelPathfind(searchPath, app->name.c_str(), "rx");
    if (found == nullptr) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): could not find %s[%u] in \"%s\".", kFn,
              app->name.c_str(), app->index, searchPath != nullptr ? searchPath : "(null)");
      return KEP_ERR_NOT_FOUND;
    }
    char execPath[kKepExecPathSize];
    memset(execPath, 0, sizeof execPath);
    strncpy(execPath, found, sizeof execPath - 1);
    free(found);

    KepRemoveStaleSyncFiles(*app);

    char **argArray = KepBuildArgArray(*app);
    // Without an argument vector there is nothing sensible to execute; the
    // caller books the failure as Start_Failed.
    if (argArray == nullptr) return KEP_ERR_ALLOC;
    static char *const kNoEnvironment[] = {nullptr};
    char **envArray = KepBuildEnvArray(*app);

    // Without standard error (-b) the child's report of a failed execve would be
    // lost: it goes through this pipe to the parent's log as well.
    int errorPipe[2] = {-1, -1};
    if (pipe2(errorPipe, O_CLOEXEC | O_NONBLOCK) != 0) errorPipe[0] = errorPipe[1] = -1;
    pid_t oldPid = app->pid;
    pid_t pid = kep::sys::Fork();
    if (pid < 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): fork() failed, errno = %i.", kFn, errno);
      for (int fd : errorPipe) {
        if (fd >= 0) close(fd);
      }
      app->state = KEP_APP_STATE_EXITED;
      free(envArray);
      free(argArray);
      return KEP_ERR_FORK;
    }
    if (pid == 0) {
      KepExecChild(execPath, argArray, envArray != nullptr ? envArray : kNoEnvironment,
                   app->name.c_str(), oldPid, errorPipe[1], control.changedSignals);
    }
    if (errorPipe[1] >= 0) close(errorPipe[1]);
    app->startCount += 1;
    app->state = KEP_APP_STATE_RUNNING;
    app->pid = pid;
    app->run.childReaped = 0;
    app->run.procStart = kep::sys::ProcStartTicks(pid);
    Log_Msg(LOG_MSG_INFO, 1, kKepStartAppUnit, "%s(): successfully started %s[%u], pid = %i.", kFn,
            app->name.c_str(), app->index, static_cast<int>(pid));
    free(envArray);
    free(argArray);
    // Told at once: a kep that dies from here on leaves a process that the next
    // kep must be able to find.
    if (control.changed != nullptr) control.changed(*app, KEP_SYNC_WAIT_NONE);

    KepSleepFully(kKepAfterForkUs, control.tick);
    if (errorPipe[0] >= 0) KepTakeExecReport(app, errorPipe[0]);

    uint32_t startSyncTime = KepGetStartSyncTime();
    if (startSyncTime != 0 && app->startFile) {
      if (control.changed != nullptr) control.changed(*app, KEP_SYNC_WAIT_START);
      int status = KepWaitForSyncFile(app->startFile->c_str(), pid, startSyncTime,
                                      control.cancelStart, control.tick);
      if (control.changed != nullptr) control.changed(*app, KEP_SYNC_WAIT_NONE);
      if (status != 0) {
        Log_Msg(LOG_MSG_WARNING, 0, kKepStartAppUnit,
                "%s(): KepWaitForSyncFile(%s, %i, %u) for %s[%u] failed (%i).", kFn,
                app->startFile->c_str(), static_cast<int>(pid), startSyncTime, app->name.c_str(),
                app->index, status);
      }
    }
    return KEP_OK;
  } catch (...) {
    // Only the prefix string can throw (allocation); nothing was started then.
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): out of memory for %s.", kFn,
            app->name.c_str());
    return KEP_ERR_ALLOC;
  }
}

void KepSleepFully(unsigned long long microseconds, void (*tick)()) {
  while (microseconds > 0) {
    // In steps of half a second when someone is to be told that kep lives.
    unsigned long long step =
        tick != nullptr && microseconds > kKepTickUs ? kKepTickUs : microseconds;
    struct timespec left = {static_cast<time_t>(step / 1000000),
                            static_cast<long>(step % 1000000 * 1000)};
    struct timespec request = left;
    while (kep::sys::NanoSleep(&request, &left) != 0 && errno == EINTR) request = left;
    microseconds -= step;
    if (tick != nullptr) tick();
  }
}

void KepCollectExecReport(KepApp *app) {
  int fd = app->run.execReportFd;
  if (fd < 0) return;
  app->run.execReportFd = -1;
  KepTakeExecReport(app, fd);
  // Still nothing from a child that is gone or replaced: nothing will come.
  if (app->run.execReportFd >= 0) {
    close(app->run.execReportFd);
    app->run.execReportFd = -1;
  }
}

int KepWaitForSyncFile(const char *file, pid_t pid, unsigned int timeoutSeconds,
                       const volatile sig_atomic_t *cancel, void (*tick)()) {
  if (file == nullptr) return KEP_ERR_INVALID_ARG;
  unsigned long long attempts = static_cast<unsigned long long>(timeoutSeconds) * 100;
  for (unsigned long long made = 1;; ++made) {
    if (KepReadSyncFile(file, pid, nullptr) == 0) return KEP_OK;
    if (cancel != nullptr && *cancel != 0) return KEP_ERR_SYNC_TIMEOUT;
    KepSleepFully(kKepSyncPollUs, tick);
    if (made >= attempts) return KEP_ERR_SYNC_TIMEOUT;
  }
}
