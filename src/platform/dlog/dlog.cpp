// libdlog: the device-wide debug log, /var/log/dlog.log, shared by every process.
#include "dlog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "zel_files.h"
#include "zel_log_line.h"
#include "zel_log_testing.h"

namespace {

constexpr long kDefaultMaxBytes = 1024L * 1024;

char *rootOverride = nullptr;  // null: ZEL_LOG_ROOT
long maxBytes = kDefaultMaxBytes;
// Entries this process could not write; reported with its next entry.
unsigned long lostEntries = 0;
// A link at the path was reported; said again only after an entry was written.
bool linkReported = false;

const char *SeverityWord(int level) {
  static const char *const kWords[] = {"EMERG", "ALERT",  "CRIT", "ERROR",
                                       "WARN",  "NOTICE", "INFO", "DEBUG"};
  return level >= 0 && level <= 7 ? kWords[level] : nullptr;
}

// How long a writer waits for another writer's lock. Any process may open the
// file and hold a lock on it, or hang while it holds one: a writer (kep above
// all) must never be held up by that for longer than a blink, so it then
// writes without the lock (one write of the whole entry to a file opened for
// appending: still not interleaved) and leaves the rotation to a later entry.
// After such a wait the next entries of the second that follows do not wait
// at all, so that a lock held for good costs a busy writer little.
constexpr long kLockWaitNs = 20 * 1000000L;
constexpr long kLockPollNs = 2 * 1000000L;
constexpr long kNoWaitAfterTimeOutNs = 1000 * 1000000L;

// The file as opened for one entry.
struct Opened {
  int fd = -1;
  bool locked = false;  // this process holds the lock
  bool linked = false;  // the path is a (trusted) symbolic link to the file
};

// Read access lets a writer see whether the file ends inside a line; a process
// that may only write goes on without that check.
int OpenLogFile(const char *path, bool *linked) {
  const char *link = nullptr;
  int fd = zel::OpenLogForAppend(path, O_RDWR, &link, linked);
  if (fd < 0 && errno == EACCES) fd = zel::OpenLogForAppend(path, O_WRONLY, &link, linked);
  if (fd >= 0) {
    linkReported = false;
  } else if (link != nullptr && !linkReported) {
    int saved = errno;
    linkReported = true;
    fprintf(stderr, "libdlog: %s %s: refused, no entry is written there\n", path, link);
    errno = saved;
  }
  return fd;
}

long NanosecondsSince(const struct timespec &then) {
  struct timespec now = {0, 0};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - then.tv_sec) * 1000000000L + (now.tv_nsec - then.tv_nsec);
}

// The lock, waited for kLockWaitNs at most; false when not had (held too long
// by another, or no locks on this file system). Costs nothing more when the
// file is free.
bool LockBriefly(int fd) {
  static struct timespec timedOut = {0, 0};
  static bool waitedInVain = false;
  struct timespec begin = {0, 0};
  clock_gettime(CLOCK_MONOTONIC, &begin);
  long budget =
      waitedInVain && NanosecondsSince(timedOut) < kNoWaitAfterTimeOutNs ? 0 : kLockWaitNs;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      waitedInVain = false;
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (NanosecondsSince(begin) >= budget) break;
    struct timespec pause = {0, kLockPollNs};
    nanosleep(&pause, nullptr);
  }
  if (budget != 0) {
    clock_gettime(CLOCK_MONOTONIC, &timedOut);
    waitedInVain = true;
  }
  return false;
}

// Opens the log locked for this process alone and checks that the descriptor
// still names the file at the path: another process may have rotated it between
// our open and our lock, and then we start again on the new file.
Opened OpenLocked(const char *path) {
  Opened log;
  for (int attempt = 0; attempt < 5; ++attempt) {
    log.fd = OpenLogFile(path, &log.linked);
    if (log.fd < 0) return log;
    struct stat opened;
    struct stat named;
    if (fstat(log.fd, &opened) != 0) {
      close(log.fd);
      log.fd = -1;
      return log;
    }
    log.locked = LockBriefly(log.fd);
    if (!log.locked) return log;
    if (stat(path, &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
      return log;
    close(log.fd);
  }
  log.fd = -1;
  log.locked = false;
  errno = EAGAIN;
  return log;
}

// Renames a file that this entry would take past the bound to dlog.log.1 and
// opens the new, empty dlog.log locked (the old one stays when the rename is
// refused). Only under the lock; a link at the path is kept and the file it
// names is emptied instead.
void RotateIfNeeded(Opened *log, const char *path, size_t entrySize) {
  struct stat info;
  if (!log->locked || fstat(log->fd, &info) != 0 || info.st_size == 0 ||
      info.st_size + static_cast<long long>(entrySize) <= static_cast<long long>(maxBytes)) {
    return;
  }
  if (log->linked) {
    // Should it fail, the entry goes on the file as it is.
    int emptied = ftruncate(log->fd, 0);
    static_cast<void>(emptied);
    return;
  }
  char *old = zel::JoinPath(path, ".1");
  // rename(2) replaces a link at dlog.log.1 itself, never the file it names.
  int renamed = old != nullptr ? rename(path, old) : -1;
  free(old);
  if (renamed != 0) return;
  Opened fresh = OpenLocked(path);
  close(log->fd);  // Releases the lock on the old file only now, once the new one exists.
  *log = fresh;
}

// True when the file ends inside a line: an entry that a full disk cut short,
// written by any process.
bool EndsInsideALine(int fd) {
  struct stat info;
  char last = '\n';
  return fstat(fd, &info) == 0 && info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) == 1 &&
         last != '\n';
}

// Writes the entry, after the report of this process's lost entries. The file
// is shared, so a cut entry of another process cannot be taken back: the
// entry starts on a new line instead of being glued to it.
bool WriteEntry(const zel::Text &entry, bool whole) {
  char *path = zel::JoinPath(rootOverride != nullptr ? rootOverride : zel::EnvironmentRoot(),
                             "/var/log/dlog.log");
  Opened log;
  if (path != nullptr) log = OpenLocked(path);
  zel::Text notice;
  if (lostEntries > 0) {
    zel::AppendLinePrefix(notice);
    notice.Append("ERROR libdlog: ");
    notice.Append(lostEntries);
    notice.Append(" earlier entr(y/ies) of this process could not be written\n");
  }
  if (log.fd >= 0) RotateIfNeeded(&log, path, notice.Size() + entry.Size() + 1);
  free(path);
  int fd = log.fd;
  zel::Text text;
  if (fd >= 0 && EndsInsideALine(fd)) text.Append('\n');
  size_t noticeEnd = text.Size() + notice.Size();
  text.Append(notice.Data(), notice.Size());
  text.Append(entry.Data(), entry.Size());
  whole = whole && fd >= 0 && !text.Failed() && !notice.Failed() && !entry.Failed();
  size_t written = whole ? zel::WriteAll(fd, text.Data(), text.Size()) : 0;
  if (fd >= 0) close(fd);
  if (whole && written == text.Size()) {
    lostEntries = 0;
    return true;
  }
  // A report that went out counts the entries before it.
  lostEntries = (written > 0 && written >= noticeEnd ? 0 : lostEntries) + 1;
  return false;
}

}  // namespace

extern "C" int __dlog_printf(int level, const char *file, const char *format, ...) {
  int savedErrno = errno;  // Callers may log a failure and then look at errno again.
  zel::Text text;
  va_list args;
  va_start(args, format);
  zel::FormatText(text, format, args);
  va_end(args);

  zel::Text entry;
  zel::AppendLinePrefix(entry);
  const char *word = SeverityWord(level);
  if (word != nullptr) {
    entry.Append(word);
  } else {
    char number[16];
    snprintf(number, sizeof number, "L%d", level);
    entry.Append(number);
  }
  entry.Append(' ');
  entry.Append(program_invocation_short_name);
  char pid[24];
  snprintf(pid, sizeof pid, "[%ld] ", static_cast<long>(getpid()));
  entry.Append(pid);
  entry.Append(file != nullptr && *file != '\0' ? file : "-");
  entry.Append(": ");
  zel::AppendEscapedLine(entry, text.Data(), text.Size());
  int result = WriteEntry(entry, !text.Failed()) ? 0 : -1;
  errno = savedErrno;
  return result;
}

extern "C" void Dlog_SetRootForTesting(const char *root) {
  free(rootOverride);
  // Out of memory falls back to the default root.
  rootOverride = root != nullptr ? strdup(root) : nullptr;
}

extern "C" void Dlog_SetMaxBytesForTesting(long bytes) {
  maxBytes = bytes > 0 ? bytes : kDefaultMaxBytes;
}
