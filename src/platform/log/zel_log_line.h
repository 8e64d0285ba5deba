// Line building shared by libZelLog and libdlog (compiled into each; nothing
// here is exported).
#pragma once

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace zel {
namespace {

// A text longer than this is cut; the rest of a message is never lost silently:
// the cut text ends with a marker that names the full length.
constexpr size_t kZelMaxText = 4096;

inline std::string FormatText(const char *format, va_list args) {
  if (format == nullptr) return std::string();
  // A few bytes more than kept, to see whether the cut falls inside a character.
  char buffer[kZelMaxText + 4];
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (length < 0) return "(unformattable message: " + std::string(format) + ")";
  if (static_cast<size_t>(length) <= kZelMaxText) return std::string(buffer, length);
  // Cut on a character boundary so the marker never follows half a UTF-8 sequence.
  size_t keep = kZelMaxText;
  for (int back = 0; back < 3 && keep > 0 && (buffer[keep] & 0xC0) == 0x80; ++back) --keep;
  return std::string(buffer, keep) + "...[cut from " + std::to_string(length) + " bytes]";
}

// "2024-05-01T12:00:00.123Z [12.345] ": wall-clock time (UTC) for people, and
// the boot-clock time that kep's own times are measured on.
inline std::string LinePrefix() {
  struct timespec wall = {0, 0};
  struct timespec boot = {0, 0};
  clock_gettime(CLOCK_REALTIME, &wall);
  clock_gettime(CLOCK_BOOTTIME, &boot);
  struct tm parts;
  char date[32] = "0000-00-00T00:00:00";
  if (gmtime_r(&wall.tv_sec, &parts) != nullptr)
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &parts);
  char prefix[96];
  snprintf(prefix, sizeof prefix, "%s.%03ldZ [%lld.%03ld] ", date,
           static_cast<long>(wall.tv_nsec / 1000000), static_cast<long long>(boot.tv_sec),
           static_cast<long>(boot.tv_nsec / 1000000));
  return prefix;
}

// Appends text and a newline; control characters (a newline inside a message
// included) are written as \n, \r or \xHH so that one message stays one line.
// Trailing newlines are dropped.
inline void AppendEscapedLine(std::string &line, const std::string &text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  for (size_t i = 0; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      line += hex;
    } else {
      line += static_cast<char>(c);
    }
  }
  line += '\n';
}

// One write(2) for the whole line where possible, so that appends of several
// writers (O_APPEND) never interleave.
inline bool WriteAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t done = write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// The root folder put before the fixed paths: ZEL_LOG_ROOT, read once.
inline const std::string &EnvironmentRoot() {
  static const std::string root = [] {
    const char *value = getenv("ZEL_LOG_ROOT");
    return std::string(value != nullptr ? value : "");
  }();
  return root;
}

}  // namespace
}  // namespace zel
