#include "zel_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace zel {
namespace {

// The folder that path's last component stands in, into folder.
bool FolderOf(const char *path, char (&folder)[PATH_MAX]) {
  const char *slash = strrchr(path, '/');
  size_t length = slash == nullptr ? 0 : slash == path ? 1 : static_cast<size_t>(slash - path);
  if (length >= sizeof folder) return false;
  if (length == 0) {
    folder[0] = '.';
    length = 1;
  } else {
    memcpy(folder, path, length);
  }
  folder[length] = '\0';
  return true;
}

bool TrustedLink(const char *path, const struct stat &link) {
  char folder[PATH_MAX];
  struct stat info;
  return link.st_uid == 0 ||
         (FolderOf(path, folder) && stat(folder, &info) == 0 && link.st_uid == info.st_uid);
}

// The temporary file of ReplaceFile: path and suffix made anew, or path and a
// random suffix; its name goes to *temp (to be freed).
int CreateTemporary(const char *path, const char *suffix, mode_t mode, char **temp) {
  *temp = JoinPath(path, suffix != nullptr ? suffix : ".XXXXXX");
  if (*temp == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  if (suffix != nullptr) return CreateFresh(*temp, mode);
  int fd = mkostemp(*temp, O_CLOEXEC);
  // Readable as a file created with the usual umask would be.
  if (fd >= 0 && fchmod(fd, mode) != 0) {
    int error = errno;
    close(fd);
    unlink(*temp);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

int OpenTrusted(const char *path, int flags, mode_t mode, bool *linked) {
  if (linked != nullptr) *linked = false;
  int fd = open(path, flags | O_NOFOLLOW, mode);
  // A link makes the open fail with ELOOP (ENOTDIR with O_DIRECTORY), or with
  // EACCES for O_CREAT on another user's link in a sticky folder.
  if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR && errno != EACCES)) return fd;
  int error = errno;
  struct stat before;
  if (lstat(path, &before) != 0 || !S_ISLNK(before.st_mode)) {
    errno = error;
    return -1;
  }
  if (!TrustedLink(path, before)) {
    errno = error == EACCES ? ELOOP : error;
    return -1;
  }
  fd = open(path, flags & ~O_NOFOLLOW, mode);
  if (fd < 0) return -1;
  // The link that was judged is the one followed: nobody put another in its place.
  struct stat after;
  if (lstat(path, &after) != 0 || after.st_ino != before.st_ino || after.st_dev != before.st_dev ||
      !S_ISLNK(after.st_mode) || !TrustedLink(path, after)) {
    close(fd);
    errno = error == EACCES ? ELOOP : error;
    return -1;
  }
  if (linked != nullptr) *linked = true;
  return fd;
}

int OpenForReading(const char *path, bool trustedLinks, struct stat *info) {
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = trustedLinks ? OpenTrusted(path, flags, 0, nullptr) : open(path, flags);
  if (fd < 0 || fstat(fd, info) == 0) return fd;
  int error = errno;
  close(fd);
  errno = error;
  return -1;
}

int ReadAll(int fd, char *buffer, size_t capacity, size_t *length) {
  *length = 0;
  for (;;) {
    // One byte more than the capacity tells a file that is too long.
    char extra;
    char *into = *length < capacity ? buffer + *length : &extra;
    ssize_t got = read(fd, into, *length < capacity ? capacity - *length : 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) return 0;
    if (*length >= capacity) return 1;
    *length += static_cast<size_t>(got);
  }
}

size_t WriteAll(int fd, const char *data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t wrote = write(fd, data + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  return done;
}

int CreateFresh(const char *path, mode_t mode, int access) {
  unlink(path);
  return open(path, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int SyncFolderOf(const char *path) {
  char folder[PATH_MAX];
  if (!FolderOf(path, folder)) return ENAMETOOLONG;
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = fsync(fd) != 0 && errno != EINVAL ? errno : 0;
  close(fd);
  return error;
}

Replaced ReplaceFile(const char *path, const char *suffix, const char *text, size_t length,
                     mode_t mode, bool durable) {
  Replaced result;
  char *temp = nullptr;
  int fd = CreateTemporary(path, suffix, mode, &temp);
  if (fd < 0) {
    result = {errno, "open"};
  } else if (WriteAll(fd, text, length) != length) {
    result = {errno != 0 ? errno : EIO, "write"};
  } else if (durable && fsync(fd) != 0) {
    result = {errno, "fsync"};
  }
  if (fd >= 0 && close(fd) != 0) {
    // After a durable write the text is on storage whatever close says.
    if (durable || result.failed != nullptr) {
      result.closeError = errno;
    } else {
      result = {errno, "close"};
    }
  }
  if (result.failed == nullptr && rename(temp, path) != 0) result = {errno, "rename"};
  if (result.failed == nullptr && durable) result.folderError = SyncFolderOf(path);
  if (result.failed != nullptr && fd >= 0) unlink(temp);
  free(temp);
  return result;
}

char *JoinPath(const char *first, const char *second, const char *third, const char *fourth) {
  size_t size = strlen(first) + strlen(second) + strlen(third) + strlen(fourth) + 1;
  char *path = static_cast<char *>(malloc(size));
  if (path != nullptr) snprintf(path, size, "%s%s%s%s", first, second, third, fourth);
  return path;
}

}  // namespace zel
