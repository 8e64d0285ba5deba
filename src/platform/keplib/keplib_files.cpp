#include "keplib_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zel_files.h"

namespace keplib {

int ReadSmallFile(const char *path, char *buffer, size_t capacity, size_t *length) {
  if (capacity > kKepMaxFileBytes) capacity = kKepMaxFileBytes;
  struct stat info;
  int fd = zel::OpenForReading(path, false, &info);
  if (fd < 0) return kKepFileMissing;
  int status = !S_ISREG(info.st_mode) ? kKepFileDamaged : kKepFileOk;
  if (status == kKepFileOk) {
    int read = zel::ReadAll(fd, buffer, capacity, length);
    status = read < 0 ? kKepFileMissing : read > 0 ? kKepFileDamaged : kKepFileOk;
  }
  close(fd);
  return status;
}

int WriteFileAtomically(const char *path, const char *text, size_t length) {
  // Readable by everyone, like a file created with the usual umask.
  zel::Replaced replaced = zel::ReplaceFile(path, nullptr, text, length, 0644, false);
  if (replaced.failed == nullptr) return 0;
  errno = replaced.error;
  return -1;
}

bool ParseNumber(const char **cursor, const char *end, uint64_t max, uint64_t *value) {
  const char *p = *cursor;
  uint64_t result = 0;
  int digits = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    if (++digits > 20) return false;
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (result > (max - digit) / 10) return false;
    result = result * 10 + digit;
    ++p;
  }
  if (digits == 0) return false;
  *cursor = p;
  *value = result;
  return true;
}

bool ParseLiteral(const char **cursor, const char *end, const char *literal) {
  size_t length = strlen(literal);
  if (static_cast<size_t>(end - *cursor) < length || memcmp(*cursor, literal, length) != 0)
    return false;
  *cursor += length;
  return true;
}

}  // namespace keplib
