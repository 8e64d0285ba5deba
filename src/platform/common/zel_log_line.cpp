// Line building shared by libZelLog and libdlog: libc only, so that the
// libraries pull no C++ runtime into the C programs that link them.
#include "zel_log_line.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "zel_files.h"

namespace zel {

Text::~Text() { free(data_); }

const char *Text::Data() const { return data_ != nullptr ? data_ : ""; }

void Text::Append(const char *text, size_t length) {
  if (!Reserve(length)) return;
  memcpy(data_ + size_, text, length);
  size_ += length;
  data_[size_] = '\0';
}

void Text::Append(const char *text) { Append(text, strlen(text)); }

void Text::Append(char c) { Append(&c, 1); }

void Text::Append(unsigned long number) {
  char digits[24];
  Append(digits, static_cast<size_t>(snprintf(digits, sizeof digits, "%lu", number)));
}

bool Text::Reserve(size_t more) {
  if (failed_) return false;
  if (more < capacity_ - size_) return true;  // room for the text and the terminator
  if (more > SIZE_MAX / 2 - size_) {
    failed_ = true;
    return false;
  }
  size_t wanted = capacity_ > 0 ? capacity_ : 256;
  while (wanted <= size_ + more) wanted *= 2;
  char *grown = static_cast<char *>(realloc(data_, wanted));
  if (grown == nullptr) {
    failed_ = true;
    return false;
  }
  data_ = grown;
  capacity_ = wanted;
  return true;
}

void FormatText(Text &out, const char *format, va_list args) {
  if (format == nullptr) return;
  // A few bytes more than kept, to see whether the cut falls inside a character.
  char buffer[kZelMaxText + 4];
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (length < 0) {
    out.Append("(unformattable message: ");
    out.Append(format);
    out.Append(')');
    return;
  }
  if (static_cast<size_t>(length) <= kZelMaxText) {
    out.Append(buffer, static_cast<size_t>(length));
    return;
  }
  // Cut on a character boundary so the marker never follows half a UTF-8 sequence.
  size_t keep = kZelMaxText;
  for (int back = 0; back < 3 && keep > 0 && (buffer[keep] & 0xC0) == 0x80; ++back) --keep;
  out.Append(buffer, keep);
  out.Append("...[cut from ");
  out.Append(static_cast<unsigned long>(length));
  out.Append(" bytes]");
}

// "2024-05-01T12:00:00.123Z [12.345] ": wall-clock time (UTC) for people, and
// the boot-clock time that kep's own times are measured on.
void AppendLinePrefix(Text &line) {
  struct timespec wall = {0, 0};
  struct timespec boot = {0, 0};
  clock_gettime(CLOCK_REALTIME, &wall);
  clock_gettime(CLOCK_BOOTTIME, &boot);
  struct tm parts;
  char date[32] = "0000-00-00T00:00:00";
  if (gmtime_r(&wall.tv_sec, &parts) != nullptr)
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &parts);
  char prefix[96];
  int length =
      snprintf(prefix, sizeof prefix, "%s.%03ldZ [%lld.%03ld] ", date,
               static_cast<long>(wall.tv_nsec / 1000000), static_cast<long long>(boot.tv_sec),
               static_cast<long>(boot.tv_nsec / 1000000));
  line.Append(prefix, static_cast<size_t>(length));
}

// Appends text and a newline; control characters (a newline inside a message
// included) are written as \n, \r or \xHH so that one message stays one line.
// Trailing newlines are dropped.
void AppendEscapedLine(Text &line, const char *text, size_t size) {
  size_t end = size;
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  for (size_t i = 0; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      line.Append("\\n");
    } else if (c == '\r') {
      line.Append("\\r");
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      line.Append(hex);
    } else {
      line.Append(static_cast<char>(c));
    }
  }
  line.Append('\n');
}

// The root folder put before the fixed paths: ZEL_LOG_ROOT, read once. The
// first reader of any thread publishes its copy; a later one frees its own.
const char *EnvironmentRoot() {
  static char *root = nullptr;
  char *seen = __atomic_load_n(&root, __ATOMIC_ACQUIRE);
  if (seen != nullptr) return seen;
  const char *value = getenv("ZEL_LOG_ROOT");
  char *copy = strdup(value != nullptr ? value : "");
  if (copy == nullptr) return "";
  if (__atomic_compare_exchange_n(&root, &seen, copy, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    return copy;
  }
  free(copy);
  return seen;
}

// Opens the log file PATH for appending (created 0644 when missing),
// close-on-exec, with access O_WRONLY or O_RDWR. The log folders may be open to
// every user, so a link there could make a root process append to any file
// of the device: a symbolic link is followed only when it is root's or the
// folder owner's (OpenTrusted; *followed tells), and a file with more than one
// name (hard link) is refused, with *link naming which of the two was refused
// (null for any other failure). Anything but a regular file is refused as
// well, and O_NONBLOCK for the open itself keeps a FIFO at the path from
// hanging the writer. Returns the descriptor, or -1 with errno set.
int OpenLogForAppend(const char *path, int access, const char **link, bool *followed) {
  *link = nullptr;
  int fd = OpenTrusted(path, access | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644,
                       followed);
  struct stat info;
  if (fd < 0) {
    int saved = errno;
    if (saved == ELOOP && lstat(path, &info) == 0 && S_ISLNK(info.st_mode))
      *link = "is a symbolic link";
    errno = saved;
    return -1;
  }
  bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (!regular || info.st_nlink > 1) {
    bool hardLink = regular;
    close(fd);
    if (hardLink) *link = "is a hard link";
    errno = hardLink ? EMLINK : EINVAL;
    return -1;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  return fd;
}

}  // namespace zel
