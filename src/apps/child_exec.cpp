// Everything here runs in a freshly forked child of the single-threaded
// supervisor, so only plain system calls and formatting into buffers of its
// own are used.
#include "child_exec.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The messages name the function that forked the child.
constexpr const char *kKepStartFn = "KepStartOneApp";

void KepOnAlarm(int) {}

// Standard error may be a pipe that nobody reads: a write that blocks is cut
// short after a second (SIGALRM without SA_RESTART), so that the child still
// goes on to execve or ends, and kep sees it end.
void KepWriteStderr(const char *text, size_t length) {
  struct sigaction quiet;
  struct sigaction previous;
  memset(&quiet, 0, sizeof quiet);
  sigemptyset(&quiet.sa_mask);
  quiet.sa_handler = KepOnAlarm;
  bool armed = sigaction(SIGALRM, &quiet, &previous) == 0;
  if (armed) alarm(1);
  for (size_t done = 0; done < length;) {
    ssize_t wrote = write(STDERR_FILENO, text + done, length - done);
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  if (armed) {
    alarm(0);
    sigaction(SIGALRM, &previous, nullptr);
  }
}

// "KepStartOneApp(): TEXT\n" on standard error.
__attribute__((format(printf, 1, 2))) void KepSay(const char *format, ...) {
  char text[kKepChildReportSize + 64];
  int length = snprintf(text, sizeof text, "%s(): ", kKepStartFn);
  va_list args;
  va_start(args, format);
  length += vsnprintf(text + length, sizeof text - static_cast<size_t>(length) - 1, format, args);
  va_end(args);
  if (length > static_cast<int>(sizeof text) - 2) length = static_cast<int>(sizeof text) - 2;
  text[length++] = '\n';
  KepWriteStderr(text, static_cast<size_t>(length));
}

void KepDefaultSignal(int signal, const char *signalName, const char *name, pid_t oldPid) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  if (sigaction(signal, &action, nullptr) != 0) {
    if (signalName != nullptr) {
      KepSay("sigaction(%s) (%s, %i) failed, errno = %i.", signalName, name,
             static_cast<int>(oldPid), errno);
    } else {
      KepSay("sigaction(%i) (%s, %i) failed, errno = %i.", signal, name, static_cast<int>(oldPid),
             errno);
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

// The parent logs the report (kep in the background has no standard error),
// then standard error gets it, and the child ends without the application.
[[noreturn]] void KepEndChild(int reportFd, const char *report) {
  const size_t length = strlen(report);
  if (reportFd >= 0 && length > 0) {
    ssize_t written = write(reportFd, report, length);
    static_cast<void>(written);  // nothing more could be told
  }
  KepSay("%s", report);
  // _exit: exit() would run the supervisor's atexit handlers and flush a copy of
  // its stdio buffers a second time.
  _exit(1);
}

}  // namespace

void KepExecChild(const char *path, char *const argv[], char *const envp[], const char *name,
                  pid_t oldPid, int reportFd, const sigset_t &changedSignals,
                  const KepChildPrivileges &privileges) noexcept {
  umask(022);
  if (setsid() < 0) {
    KepSay("setsid() (%s, %i) failed, errno = %i.", name, static_cast<int>(oldPid), errno);
  }
  KepDefaultSignal(SIGTERM, "SIGTERM", name, oldPid);
  KepDefaultSignal(SIGINT, "SIGINT", name, oldPid);
  KepDefaultSignal(SIGCHLD, "SIGCHLD", name, oldPid);
  // An ignored signal would stay ignored in the application, and a handler of
  // kep's must not run in the child before execve.
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&changedSignals, signal) == 1) KepDefaultSignal(signal, nullptr, name, oldPid);
  }
  // The supervisor forks with SIGCHLD blocked; an application that reaps its
  // own children through SIGCHLD would never see one if the mask were kept.
  sigset_t empty;
  sigemptyset(&empty);
  if (sigprocmask(SIG_SETMASK, &empty, nullptr) != 0) {
    KepSay("sigprocmask() (%s, %i) failed, errno = %i.", name, static_cast<int>(oldPid), errno);
  }
  KepCloseInheritedDescriptors(reportFd);
  char report[kKepChildReportSize];
  if (!KepApplyPrivileges(privileges, report, sizeof report)) KepEndChild(reportFd, report);
  if (sched_yield() != 0) KepSay("sched_yield() failed, errno = %i.", errno);
  execve(path, argv, envp);
  snprintf(report, sizeof report, "execve(%s) returned, errno = %i.", path, errno);
  KepEndChild(reportFd, report);
}
