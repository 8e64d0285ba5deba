// libdlog: the device-wide debug log, /var/log/dlog.log, shared by every process.
#include "dlog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../log/zel_log_line.h"
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

// Read access lets a writer see whether the file ends inside a line; a process
// that may only write goes on without that check.
int OpenLogFile(const char *path) {
  const char *link = nullptr;
  int fd = zel::OpenLogForAppend(path, O_RDWR, &link);
  if (fd < 0 && errno == EACCES) fd = zel::OpenLogForAppend(path, O_WRONLY, &link);
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

// Opens the log locked for this process alone and checks that the descriptor
// still names the file at the path: another process may have rotated it between
// our open and our lock, and then we start again on the new file.
int OpenLocked(const char *path) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    int fd = OpenLogFile(path);
    if (fd < 0) return -1;
    struct stat opened;
    struct stat named;
    if (fstat(fd, &opened) != 0) {
      close(fd);
      return -1;
    }
    int locked;
    do {
      locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return fd;  // No locks on this file system: write unlocked.
    if (lstat(path, &named) == 0 && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino) {
      return fd;
    }
    close(fd);
  }
  errno = EAGAIN;
  return -1;
}

// Renames a file that this entry would take past the bound to dlog.log.1 and
// returns a locked descriptor of the new, empty dlog.log (or the old one when
// the rename is refused).
int RotateIfNeeded(int fd, const char *path, size_t entrySize) {
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_size == 0 ||
      info.st_size + static_cast<long long>(entrySize) <= static_cast<long long>(maxBytes)) {
    return fd;
  }
  char *old = zel::JoinPath(path, ".1");
  // rename(2) replaces a link at dlog.log.1 itself, never the file it names.
  int renamed = old != nullptr ? rename(path, old) : -1;
  free(old);
  if (renamed != 0) return fd;
  int fresh = OpenLocked(path);
  close(fd);  // Releases the lock on the old file only now, once the new one exists.
  return fresh;
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
  int fd = path != nullptr ? OpenLocked(path) : -1;
  zel::Text notice;
  if (lostEntries > 0) {
    zel::AppendLinePrefix(notice);
    notice.Append("ERROR libdlog: ");
    notice.Append(lostEntries);
    notice.Append(" earlier entr(y/ies) of this process could not be written\n");
  }
  if (fd >= 0) fd = RotateIfNeeded(fd, path, notice.Size() + entry.Size() + 1);
  free(path);
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
