#include "keplib_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace keplib {

int ReadSmallFile(const char *path, char *buffer, size_t capacity, size_t *length) {
  if (capacity > kKepMaxFileBytes) capacity = kKepMaxFileBytes;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return kKepFileMissing;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    close(fd);
    return kKepFileMissing;
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    return kKepFileDamaged;
  }
  // One byte more than the capacity tells a file that is too long.
  char extra;
  size_t total = 0;
  int status = kKepFileOk;
  for (;;) {
    char *into = total < capacity ? buffer + total : &extra;
    size_t room = total < capacity ? capacity - total : 1;
    ssize_t got = read(fd, into, room);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      status = kKepFileMissing;
      break;
    }
    if (got == 0) break;
    if (total >= capacity) {
      status = kKepFileDamaged;
      break;
    }
    total += static_cast<size_t>(got);
  }
  close(fd);
  *length = total;
  return status;
}

int WriteFileAtomically(const char *path, const char *text, size_t length) {
  static const char kSuffix[] = ".XXXXXX";
  size_t pathLength = strlen(path);
  char *temp = static_cast<char *>(malloc(pathLength + sizeof kSuffix));
  if (temp == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  memcpy(temp, path, pathLength);
  memcpy(temp + pathLength, kSuffix, sizeof kSuffix);
  int fd = mkostemp(temp, O_CLOEXEC);
  if (fd < 0) {
    int saved = errno;
    free(temp);
    errno = saved;
    return -1;
  }
  int saved = 0;
  size_t done = 0;
  while (done < length && saved == 0) {
    ssize_t wrote = write(fd, text + done, length - done);
    if (wrote < 0 && errno != EINTR) saved = errno;
    if (wrote > 0) done += static_cast<size_t>(wrote);
  }
  // Readable by everyone, like a file created with the usual umask.
  if (saved == 0 && fchmod(fd, 0644) != 0) saved = errno;
  if (close(fd) != 0 && saved == 0) saved = errno;
  if (saved == 0 && rename(temp, path) != 0) saved = errno;
  if (saved != 0) unlink(temp);
  free(temp);
  if (saved == 0) return 0;
  errno = saved;
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
