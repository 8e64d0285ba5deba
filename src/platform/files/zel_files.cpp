#include "zel_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel {
namespace {

// The owner of the folder that path's last component stands in.
bool FolderOwner(const char *path, uid_t *owner) {
  char folder[PATH_MAX];
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
  struct stat info;
  if (stat(folder, &info) != 0) return false;
  *owner = info.st_uid;
  return true;
}

bool TrustedLink(const char *path, const struct stat &link) {
  uid_t owner = 0;
  return link.st_uid == 0 || (FolderOwner(path, &owner) && link.st_uid == owner);
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

}  // namespace zel
