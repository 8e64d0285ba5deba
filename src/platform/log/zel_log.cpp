// libZelLog: kep's own log file, level filtering and the message hook.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "ZelLog.h"
#include "dlog.h"
#include "zel_files.h"
#include "zel_log_line.h"
#include "zel_log_testing.h"

namespace {

constexpr unsigned kDefaultLevel = 30;
constexpr long long kDefaultMaxBytes = 1024LL * 1024;

Log_ExtLogFn hook = nullptr;
thread_local bool inHook = false;
unsigned logLevel = kDefaultLevel;

char *rootOverride = nullptr;  // null: ZEL_LOG_ROOT

int logFd = -1;
char *logPath = nullptr;  // null while no log is open
char *oldPath = nullptr;  // logPath and ".1"
long long maxBytes = kDefaultMaxBytes;
int syncMs = 0;
struct timespec lastSync = {0, 0};
// Lines that could not be written (disk full, file gone); reported in the file
// as soon as writing works again.
unsigned long lostLines = 0;
// The file ends inside a line that could not be cut off again: the next line
// starts with a newline.
bool partialLine = false;
// A link at logPath was reported; said again only after a file was opened there.
bool linkReported = false;
// logPath is a symbolic link (a trusted one) to the file open.
bool logLinked = false;

const char *Root() { return rootOverride != nullptr ? rootOverride : zel::EnvironmentRoot(); }

// The Log_SetLogLevel value from which a message of this level is written.
unsigned Threshold(int level) {
  if (level <= LOG_MSG_ERROR) return 20;
  if (level == LOG_MSG_WARNING) return 30;
  if (level == LOG_MSG_INFO) return 40;
  return 50;
}

const char *LevelWord(int level, int notice) {
  if (level <= LOG_MSG_ERROR) return notice ? "ERROR*" : "ERROR";
  if (level == LOG_MSG_WARNING) return notice ? "WARN*" : "WARN";
  if (level == LOG_MSG_INFO) return notice ? "INFO*" : "INFO";
  return notice ? "DEBUG*" : "DEBUG";
}

// The hook may not be registered yet (kep registers it only after a successful
// open), so a refused link is told on standard error and in the debug log
// directly.
int OpenLogFile(const char *path) {
  const char *link = nullptr;
  int fd = zel::OpenLogForAppend(path, O_WRONLY, &link, &logLinked);
  if (fd >= 0) {
    linkReported = false;
  } else if (link != nullptr && !linkReported) {
    int saved = errno;
    linkReported = true;
    fprintf(stderr, "ZelLog: %s %s: refused, nothing is logged there\n", path, link);
    __dlog_printf(3, "ZelLog", "%s %s: refused, nothing is logged there", path, link);
    errno = saved;
  }
  return fd;
}

long long MilliSecondsSince(const struct timespec &then) {
  struct timespec now = {0, 0};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (static_cast<long long>(now.tv_sec) - then.tv_sec) * 1000 +
         (now.tv_nsec - then.tv_nsec) / 1000000;
}

void SyncFile() {
  fdatasync(logFd);
  clock_gettime(CLOCK_MONOTONIC, &lastSync);
}

// Keeps the file within maxBytes: NAME.log becomes NAME.log.1 and a new
// NAME.log is started. If the rename is refused the file is emptied instead:
// a bounded log matters more than its oldest lines on a small device. A link
// at NAME.log (to a RAM file system, say) is kept: the file it names is
// emptied. Returns the size of the file that the line goes to, -1 when
// unknown.
long long RotateIfNeeded(const struct stat &info, size_t lineSize) {
  if (info.st_size == 0 || info.st_size + static_cast<long long>(lineSize) <= maxBytes)
    return info.st_size;
  if (syncMs > 0) SyncFile();
  // rename(2) replaces a link at NAME.log.1 itself, never the file it names.
  if (logLinked || rename(logPath, oldPath) != 0)
    return ftruncate(logFd, 0) == 0 ? 0 : info.st_size;
  close(logFd);
  logFd = OpenLogFile(logPath);
  return 0;
}

// The file may have been removed or replaced while kep runs (by hand, by a log
// clean-up): lines written to a file that has no name are lost. Looked at with
// every line, so an idle kep makes no call for it.
bool StillNamed(const struct stat &opened) {
  struct stat named;
  return opened.st_nlink > 0 && stat(logPath, &named) == 0 && named.st_dev == opened.st_dev &&
         named.st_ino == opened.st_ino;
}

// Appends one line. kep alone writes this file, so a line that the file system
// takes only in part (disk full) is cut off again: no later line is glued to
// half of it. Returns false when the line is not in the file.
bool WriteToLog(const char *data, size_t size) {
  struct stat info;
  if (logFd >= 0 && (fstat(logFd, &info) != 0 || !StillNamed(info))) {
    close(logFd);
    logFd = -1;
    partialLine = false;  // that file's cut line is no concern of the next one
  }
  // The file may have been lost at a rotation or taken away (folder gone, no
  // descriptors left, a link put in its place): try again with every line.
  if (logFd < 0) {
    logFd = OpenLogFile(logPath);
    if (logFd < 0 || fstat(logFd, &info) != 0) return false;
  }
  long long start = RotateIfNeeded(info, size);
  if (logFd < 0) return false;
  if (start == 0) partialLine = false;
  if (partialLine) {
    if (zel::WriteAll(logFd, "\n", 1) != 1) return false;
    partialLine = false;
    if (start > 0) ++start;
  }
  size_t written = zel::WriteAll(logFd, data, size);
  if (written == size) return true;
  if (written > 0 && (start < 0 || ftruncate(logFd, start) != 0)) partialLine = true;
  return false;
}

void WriteLine(const zel::Text &line, bool whole) {
  if (lostLines > 0) {
    zel::Text notice;
    zel::AppendLinePrefix(notice);
    notice.Append("ERROR ZelLog: ");
    notice.Append(lostLines);
    notice.Append(" earlier log line(s) could not be written\n");
    if (notice.Failed() || !WriteToLog(notice.Data(), notice.Size())) {
      ++lostLines;
      return;
    }
    lostLines = 0;
  }
  if (!whole || !WriteToLog(line.Data(), line.Size())) {
    ++lostLines;
    return;
  }
  if (syncMs > 0 && MilliSecondsSince(lastSync) >= syncMs) SyncFile();
}

// Lines go to the terminal through a descriptor of the logger's own, opened
// anew without blocking: a terminal that takes nothing more (a serial console
// held by flow control, a pseudo-terminal nobody reads) loses lines instead of
// stopping the process, and the descriptor it shares with others keeps its
// flags. Reopened when standard error changes; -1 when it cannot be had.
int terminalFd = -1;
struct stat terminalSeen;

int TerminalFd() {
  struct stat now;
  if (fstat(STDERR_FILENO, &now) != 0) return -1;
  if (terminalFd >= 0 && now.st_dev == terminalSeen.st_dev && now.st_ino == terminalSeen.st_ino &&
      now.st_rdev == terminalSeen.st_rdev)
    return terminalFd;
  if (terminalFd >= 0) close(terminalFd);
  terminalFd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  terminalSeen = now;
  return terminalFd;
}

// Closes the file; false when close(2) failed.
bool CloseLog() {
  int fd = logFd;
  logFd = -1;
  free(logPath);
  free(oldPath);
  logPath = nullptr;
  oldPath = nullptr;
  if (fd < 0) return true;
  if (syncMs > 0) fdatasync(fd);
  return close(fd) == 0;
}

}  // namespace

extern "C" int Log_Msg(int level, int notice, const char *file, const char *format, ...) {
  // Callers may log a failure and then look at errno again.
  int savedErrno = errno;
  zel::Text text;
  va_list args;
  va_start(args, format);
  zel::FormatText(text, format, args);
  va_end(args);

  bool toTerminal = isatty(STDERR_FILENO) == 1;
  if (logLevel >= Threshold(level) && (logPath != nullptr || toTerminal)) {
    zel::Text line;
    zel::AppendLinePrefix(line);
    line.Append(LevelWord(level, notice));
    line.Append(' ');
    line.Append(file != nullptr && *file != '\0' ? file : "-");
    line.Append(": ");
    zel::AppendEscapedLine(line, text.Data(), text.Size());
    // Out of memory: the message is lost (and counted), the caller goes on.
    bool whole = !text.Failed() && !line.Failed();
    if (logPath != nullptr) WriteLine(line, whole);
    int terminal = toTerminal && whole ? TerminalFd() : -1;
    if (terminal >= 0) zel::WriteAll(terminal, line.Data(), line.Size());
  }
  if (hook != nullptr && !inHook && !text.Failed()) {
    inHook = true;
    hook(level, notice, file, text.Data());
    inHook = false;
  }
  errno = savedErrno;
  return 0;
}

extern "C" int Log_SetExtLogFn(Log_ExtLogFn fn) {
  hook = fn;
  return 0;
}

extern "C" int Log_SetLogLevel(unsigned level, int *previous) {
  if (level != 20 && level != 30 && level != 40 && level != 50) {
    errno = EINVAL;
    return -1;
  }
  if (previous != nullptr) *previous = static_cast<int>(logLevel);
  logLevel = level;
  return 0;
}

extern "C" int Log_WriteOpen(const char *name, int /*flags*/, int maxKiB, int newSyncMs) {
  if (name == nullptr || *name == '\0' || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 ||
      strcmp(name, "..") == 0 || maxKiB < 0 || newSyncMs < 0) {
    errno = EINVAL;
    return -1;
  }
  if (logPath != nullptr) CloseLog();
  char *path = zel::JoinPath(Root(), "/var/log/kep/", name, ".log");
  char *old = path != nullptr ? zel::JoinPath(path, ".1") : nullptr;
  if (old == nullptr) {
    free(path);
    errno = ENOMEM;
    return -1;
  }
  // Every open that fails for a link says so, but the retries line by line do not.
  linkReported = false;
  int fd = OpenLogFile(path);
  if (fd < 0) {
    int saved = errno;
    free(path);
    free(old);
    errno = saved;
    return -1;
  }
  logFd = fd;
  logPath = path;
  oldPath = old;
  maxBytes = maxKiB == 0 ? kDefaultMaxBytes : static_cast<long long>(maxKiB) * 1024;
  syncMs = newSyncMs;
  clock_gettime(CLOCK_MONOTONIC, &lastSync);
  lostLines = 0;
  partialLine = false;
  return 0;
}

extern "C" int Log_WriteClose(void) {
  if (logPath == nullptr) {
    errno = EBADF;
    return -1;
  }
  return CloseLog() ? 0 : -1;
}

extern "C" void ZelLog_SetRootForTesting(const char *root) {
  free(rootOverride);
  // Out of memory falls back to the default root.
  rootOverride = root != nullptr ? strdup(root) : nullptr;
}
