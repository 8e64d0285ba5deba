// libdlog: the device-wide debug log, /var/log/dlog.log, shared by every process.
#include "dlog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../log/zel_log_line.h"
#include "zel_log_testing.h"

namespace {

constexpr long kDefaultMaxBytes = 1024L * 1024;

bool rootOverridden = false;
std::string rootOverride;
long maxBytes = kDefaultMaxBytes;
// Entries this process could not write; reported with its next entry.
unsigned long lostEntries = 0;

const char *SeverityWord(int level) {
  static const char *const kWords[] = {"EMERG", "ALERT",  "CRIT", "ERROR",
                                       "WARN",  "NOTICE", "INFO", "DEBUG"};
  return level >= 0 && level <= 7 ? kWords[level] : nullptr;
}

// Opens the log locked for this process alone and checks that the descriptor
// still names the file at the path: another process may have rotated it between
// our open and our lock, and then we start again on the new file.
int OpenLocked(const std::string &path) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return -1;
    struct stat opened;
    struct stat named;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      close(fd);
      errno = EINVAL;
      return -1;
    }
    int locked;
    do {
      locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return fd;  // No locks on this file system: write unlocked.
    if (stat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
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
int RotateIfNeeded(int fd, const std::string &path, size_t entrySize) {
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_size == 0 ||
      info.st_size + static_cast<long long>(entrySize) <= static_cast<long long>(maxBytes)) {
    return fd;
  }
  std::string old = path + ".1";
  if (rename(path.c_str(), old.c_str()) != 0) return fd;
  int fresh = OpenLocked(path);
  close(fd);  // Releases the lock on the old file only now, once the new one exists.
  return fresh;
}

int WriteEntry(const std::string &entry) {
  std::string path = (rootOverridden ? rootOverride : zel::EnvironmentRoot()) + "/var/log/dlog.log";
  int fd = OpenLocked(path);
  if (fd < 0) return -1;
  std::string text;
  if (lostEntries > 0) {
    text = zel::LinePrefix() + "ERROR libdlog: " + std::to_string(lostEntries) +
           " earlier entr(y/ies) of this process could not be written\n";
  }
  text += entry;
  fd = RotateIfNeeded(fd, path, text.size());
  if (fd < 0) return -1;
  bool written = zel::WriteAll(fd, text.data(), text.size());
  close(fd);
  return written ? 0 : -1;
}

}  // namespace

extern "C" int __dlog_printf(int level, const char *file, const char *format, ...) {
  int savedErrno = errno;  // Callers may log a failure and then look at errno again.
  int result = -1;
  try {
    va_list args;
    va_start(args, format);
    std::string text = zel::FormatText(format, args);
    va_end(args);

    const char *word = SeverityWord(level);
    std::string entry = zel::LinePrefix() + (word != nullptr ? word : "L" + std::to_string(level)) +
                        " " + std::string(program_invocation_short_name) + "[" +
                        std::to_string(getpid()) + "] " +
                        (file != nullptr && *file != '\0' ? file : "-") + ": ";
    zel::AppendEscapedLine(entry, text);
    result = WriteEntry(entry);
  } catch (...) {
    result = -1;
  }
  lostEntries = result == 0 ? 0 : lostEntries + 1;
  errno = savedErrno;
  return result;
}

extern "C" void Dlog_SetRootForTesting(const char *root) {
  try {
    rootOverridden = root != nullptr;
    rootOverride = root != nullptr ? root : "";
  } catch (...) {
    rootOverridden = false;
  }
}

extern "C" void Dlog_SetMaxBytesForTesting(long bytes) {
  maxBytes = bytes > 0 ? bytes : kDefaultMaxBytes;
}
