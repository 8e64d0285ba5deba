// Everything here runs in a freshly forked child of the single-threaded
// supervisor, so only plain system calls and dprintf to standard error are used.
#include "child_exec.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kep_start_app.h"

namespace {

// The messages name the function that forked the child.
constexpr const char *kKepStartFn = "KepStartOneApp";

void KepDefaultSignal(int signal, const char *signalName, const char *name, pid_t oldPid) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  if (sigaction(signal, &action, nullptr) != 0) {
    if (signalName != nullptr) {
      dprintf(STDERR_FILENO, "%s(): sigaction(%s) (%s, %i) failed, errno = %i.\n", kKepStartFn,
              signalName, name, static_cast<int>(oldPid), errno);
    } else {
      dprintf(STDERR_FILENO, "%s(): sigaction(%i) (%s, %i) failed, errno = %i.\n", kKepStartFn,
              signal, name, static_cast<int>(oldPid), errno);
    }
  }
}

void KepCloseRange(unsigned int first, unsigned int last) {
  if (first > last) return;
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, last, 0U) == 0) return;
#endif
  long maximum = sysconf(_SC_OPEN_MAX);
  if (maximum < 0 || maximum > 65536) maximum = 65536;
  for (long fd = first; fd < maximum && fd <= static_cast<long>(last); ++fd) {
    close(static_cast<int>(fd));
  }
}

// The application must not inherit the supervisor's descriptors (log files,
// directory streams, pipes of the test harness). keep (close-on-exec) stays
// open until execve.
void KepCloseInheritedDescriptors(int keep) {
  if (keep < 3) {
    KepCloseRange(3, ~0U);
    return;
  }
  KepCloseRange(3, static_cast<unsigned int>(keep) - 1);
  KepCloseRange(static_cast<unsigned int>(keep) + 1, ~0U);
}

}  // namespace

void KepExecChild(const char *path, char *const argv[], char *const envp[], const char *name,
                  pid_t oldPid, int errorFd) noexcept {
  umask(022);
  if (setsid() < 0) {
    dprintf(STDERR_FILENO, "%s(): setsid() (%s, %i) failed, errno = %i.\n", kKepStartFn, name,
            static_cast<int>(oldPid), errno);
  }
  KepDefaultSignal(SIGTERM, "SIGTERM", name, oldPid);
  KepDefaultSignal(SIGINT, "SIGINT", name, oldPid);
  KepDefaultSignal(SIGCHLD, "SIGCHLD", name, oldPid);
  // An ignored signal would stay ignored in the application, and a handler of
  // kep's must not run in the child before execve.
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&kepChangedSignals, signal) == 1)
      KepDefaultSignal(signal, nullptr, name, oldPid);
  }
  // The supervisor forks with SIGCHLD blocked; an application that reaps its
  // own children through SIGCHLD would never see one if the mask were kept.
  sigset_t empty;
  sigemptyset(&empty);
  if (sigprocmask(SIG_SETMASK, &empty, nullptr) != 0) {
    dprintf(STDERR_FILENO, "%s(): sigprocmask() (%s, %i) failed, errno = %i.\n", kKepStartFn, name,
            static_cast<int>(oldPid), errno);
  }
  KepCloseInheritedDescriptors(errorFd);
  if (sched_yield() != 0) {
    dprintf(STDERR_FILENO, "%s(): sched_yield() failed, errno = %i.\n", kKepStartFn, errno);
  }
  execve(path, argv, envp);
  int error = errno;
  dprintf(STDERR_FILENO, "%s(): execve(%s) returned, errno = %i.\n", kKepStartFn, path, error);
  // The parent logs it: kep in the background has no standard error.
  if (errorFd >= 0) {
    ssize_t written = write(errorFd, &error, sizeof error);
    static_cast<void>(written);  // nothing more could be told
  }
  // _exit: exit() would run the supervisor's atexit handlers and flush a copy of
  // its stdio buffers a second time.
  _exit(1);
}
