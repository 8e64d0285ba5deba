// The process kep starts as, made sound before anything else, and the one
// kep of the device: its run-time folder and the instance lock in it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ZelLog.h"
#include "kep_main.h"

namespace {

int lockFd = -1;

// Makes dir (mode 0755) unless it is there. A folder that is there must be a
// folder of root's that only root may change: anything else in its place is
// reported, not used.
bool KepMakeRootFolder(const char *dir) {
  if (mkdir(dir, 0755) == 0) return chmod(dir, 0755) == 0;  // whatever the umask took away
  int error = errno;
  struct stat info;
  if (error == EEXIST && lstat(dir, &info) == 0 && S_ISDIR(info.st_mode) &&
      (info.st_uid == 0 || info.st_uid == geteuid()) && (info.st_mode & 022) == 0)
    return true;
  fprintf(stderr, "%s(): %s cannot be used (errno = %i).\n", "KepCreateRunDir", dir,
          error == EEXIST ? EPERM : error);
  return false;
}

void KepWriteLockOwner() {
  char text[24];
  int length = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(lockFd, 0) != 0 || pwrite(lockFd, text, static_cast<size_t>(length), 0) != length)
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): cannot write its pid to %s (errno = %i).",
            "KepTakeInstanceLock", kKepLockFilePath, errno);
}

}  // namespace

void KepSanitizeProcess() {
  // A closed standard descriptor would be the next file kep opens: its log
  // file would become an application's standard error, a pipe its output.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
  // Whatever the parent blocked (an init script, a service manager) would make
  // kep deaf to SIGTERM or SIGCHLD.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool KepCreateRunDir() {
  // /run is a RAM file system on a running device; where it is missing, it is made.
  return KepMakeRootFolder("/run") && KepMakeRootFolder(kKepRunDir);
}

int KepTakeInstanceLock(long *owner) {
  *owner = 0;
  int fd = open(kKepLockFilePath, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
  if (fd < 0) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): open(%s) failed (errno = %i).",
            "KepTakeInstanceLock", kKepLockFilePath, errno);
    return 0;
  }
  // Held for kep's whole life: by the background process too with -b (the lock
  // belongs to the open file, which the fork shares).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    if (error == EWOULDBLOCK) {
      char text[24] = "";
      ssize_t length = pread(fd, text, sizeof text - 1, 0);
      if (length > 0) text[length] = '\0';
      *owner = strtol(text, nullptr, 10);
      close(fd);
      return -1;
    }
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): flock(%s) failed (errno = %i).",
            "KepTakeInstanceLock", kKepLockFilePath, error);
    close(fd);
    return 0;
  }
  lockFd = fd;
  KepWriteLockOwner();
  return 1;
}

void KepUpdateLockOwner() {
  if (lockFd >= 0) KepWriteLockOwner();
}
