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

// The child's argument and environment vectors. They point into strings owned
// by the record and the global list; they are plain arrays (calloc) so that an
// allocation failure is a null, not an exception on a supervisor path.
struct KepVectors {
  char **argv = nullptr;
  char **envp = nullptr;
  ~KepVectors() {
    free(argv);
    free(envp);
  }
};

char **KepAllocateVector(size_t slots, const char *what) {
  char **vector = static_cast<char **>(calloc(slots, sizeof(char *)));
  if (vector == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): failed to allocate %s (%u).",
            "KepStartOneApp", what, static_cast<unsigned>(slots));
  }
  return vector;
}

// false when there is no argument vector: nothing sensible can be executed.
// Without an environment vector the child gets an empty environment.
bool KepBuildVectors(const KepApp &app, KepVectors *vectors) {
  vectors->argv = KepAllocateVector(app.argList.size() + 2, "argArray");
  if (vectors->argv == nullptr) return false;
  size_t slot = 0;
  vectors->argv[slot++] = const_cast<char *>(app.name.c_str());
  for (const std::string &arg : app.argList)
    vectors->argv[slot++] = const_cast<char *>(arg.c_str());
  const KepEnvList &globalEnv = KepGetGlobalEnvList();
  vectors->envp = KepAllocateVector(globalEnv.size() + app.envList.size() + 1, "envArray");
  if (vectors->envp == nullptr) return true;
  slot = 0;
  for (const std::string &entry : globalEnv)
    vectors->envp[slot++] = const_cast<char *>(entry.c_str());
  for (const std::string &entry : app.envList)
    vectors->envp[slot++] = const_cast<char *>(entry.c_str());
  return true;
}

// The executable for the record's name along kep's PATH, cut to the buffer.
// false, logged, when there is none.
bool KepFindExecutable(const KepApp &app, char (&execPath)[kKepExecPathSize]) {
  const char *searchPath = getenv("PATH");
  char *found = ZelPathfind(searchPath, app.name.c_str(), "rx");
  if (found == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): could not find %s[%u] in \"%s\".",
            "KepStartOneApp", app.name.c_str(), app.index,
            searchPath != nullptr ? searchPath : "(null)");
    return false;
  }
  memset(execPath, 0, sizeof execPath);
  strncpy(execPath, found, sizeof execPath - 1);
  free(found);
  return true;
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

namespace {

// Forks the child that executes execPath and books it in the record
// (Running, pid, startCount + 1). The read end of the pipe for the report of a
// failed execve goes to *reportFd (-1 without one). 0, or 1002 when fork failed
// (state Exited).
int KepForkChild(KepApp *app, const char *execPath, const KepVectors &vectors,
                 const KepChildPrivileges &privileges, const KepAppControl &control,
                 int *reportFd) {
  static char *const kNoEnvironment[] = {nullptr};
  // Without standard error (-b) the child's report of a failed execve would be
  // lost: it goes through this pipe to the parent's log as well.
  int reportPipe[2] = {-1, -1};
  if (pipe2(reportPipe, O_CLOEXEC | O_NONBLOCK) != 0) reportPipe[0] = reportPipe[1] = -1;
  pid_t oldPid = app->pid;
  pid_t pid = kep::sys::Fork();
  if (pid < 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): fork() failed, errno = %i.",
            "KepStartOneApp", errno);
    for (int fd : reportPipe) {
      if (fd >= 0) close(fd);
    }
    app->state = KEP_APP_STATE_EXITED;
    return KEP_ERR_FORK;
  }
  if (pid == 0) {
    KepExecChild(execPath, vectors.argv, vectors.envp != nullptr ? vectors.envp : kNoEnvironment,
                 app->name.c_str(), oldPid, reportPipe[1], control.changedSignals, privileges);
  }
  if (reportPipe[1] >= 0) close(reportPipe[1]);
  *reportFd = reportPipe[0];
  app->startCount += 1;
  app->state = KEP_APP_STATE_RUNNING;
  app->pid = pid;
  app->run.childReaped = 0;
  app->run.procStart = kep::sys::ProcStartTicks(pid);
  Log_Msg(LOG_MSG_INFO, 1, kKepStartAppUnit, "%s(): successfully started %s[%u], pid = %i.",
          "KepStartOneApp", app->name.c_str(), app->index, static_cast<int>(pid));
  return KEP_OK;
}

// Waits up to startSyncTime for the record's start file; a start file not seen
// in time is a warning only.
void KepAwaitStartFile(KepApp *app, const KepAppControl &control) {
  uint32_t startSyncTime = KepGetStartSyncTime();
  if (startSyncTime == 0 || !app->startFile) return;
  if (control.changed != nullptr) control.changed(*app, KEP_SYNC_WAIT_START);
  int status = KepWaitForSyncFile(app->startFile->c_str(), app->pid, startSyncTime,
                                  control.cancelStart, control.tick);
  if (control.changed != nullptr) control.changed(*app, KEP_SYNC_WAIT_NONE);
  if (status != 0) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepStartAppUnit,
            "%s(): KepWaitForSyncFile(%s, %i, %u) for %s[%u] failed (%i).", "KepStartOneApp",
            app->startFile->c_str(), static_cast<int>(app->pid), startSyncTime, app->name.c_str(),
            app->index, status);
  }
}

}  // namespace

int KepStartOneApp(KepApp *app, const KepAppControl &control) {
  if (app == nullptr) return KEP_ERR_INVALID_ARG;
  KepCollectExecReport(app);
  try {
    char execPath[kKepExecPathSize];
    if (!KepFindExecutable(*app, execPath)) return KEP_ERR_NOT_FOUND;
    KepChildPrivileges privileges;
    if (!KepResolvePrivileges(*app, &privileges)) return KEP_ERR_UNKNOWN_ACCOUNT;
    KepRemoveStaleSyncFiles(*app);
    KepVectors vectors;
    // The caller books a start without vectors as Start_Failed.
    if (!KepBuildVectors(*app, &vectors)) return KEP_ERR_ALLOC;
    int reportFd = -1;
    int status = KepForkChild(app, execPath, vectors, privileges, control, &reportFd);
    if (status != KEP_OK) return status;
    // Told at once: a kep that dies from here on leaves a process that the next
    // kep must be able to find.
    if (control.changed != nullptr) control.changed(*app, KEP_SYNC_WAIT_NONE);
    KepSleepFully(kKepAfterForkUs, control.tick);
    if (reportFd >= 0) KepTakeExecReport(app, reportFd);
    KepAwaitStartFile(app, control);
    return KEP_OK;
  } catch (...) {
    // Only the prefix string and the look-up of the user can throw (allocation);
    // nothing was started then.
    Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): out of memory for %s.", "KepStartOneApp",
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
