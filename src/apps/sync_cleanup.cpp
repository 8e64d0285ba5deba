// Removal of stale synchronisation files.
//
// Entries are read with readdir on a DIR* of our own: readdir_r is deprecated,
// and readdir is safe when no other thread shares the stream. No separate entry
// buffer is therefore allocated; the messages keep their established wording.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
// After string.h, so that basename is the POSIX one.
#include <libgen.h>

#include "ZelLog.h"
#include "sync_cleanup.h"
#include "zel_files.h"

namespace {

constexpr size_t kKepPathSize = 200;

// Fills path with "dir/name". False, after logging, when it would not fit: a
// shortened path could name another file.
bool KepFormPath(const char *function, const char *dir, const char *name,
                 char (&path)[kKepPathSize]) {
  memset(path, 0, sizeof path);
  int written = snprintf(path, sizeof path, "%s/%s", dir, name);
  if (written >= 0 && static_cast<size_t>(written) < sizeof path) return true;
  Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): snprintf(%s/%s) failed (%i).", function, dir, name,
          errno);
  return false;
}

// The folders are world-writable: a link that a user put in place of the
// folder would have kep remove files wherever it points. Only root's links,
// or the parent folder owner's (a device image that puts the folder on a RAM
// file system), are followed. Null (errno set) when the path is another link
// or not a folder.
DIR *KepOpenFolder(const char *path) {
  int fd = zel::OpenTrusted(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, nullptr);
  if (fd < 0) return nullptr;
  DIR *dir = fdopendir(fd);
  if (dir == nullptr) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return dir;
}

// Judged as itself, relative to the open folder: a symbolic link is never
// followed.
bool KepIsRegularFile(DIR *dir, const char *name) {
  struct stat info;
  return fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

// Next entry, or null at the end (*failed false) or on a read error (*failed
// true, errno set).
struct dirent *KepNextEntry(DIR *dir, bool *failed) {
  errno = 0;
  struct dirent *entry = readdir(dir);
  *failed = entry == nullptr && errno != 0;
  return entry;
}

}  // namespace

namespace {

// Removes the regular files of the open folder whose names begin with
// namePart, reporting as KepRmFilesWithPrefix; 0 or -1.
int KepRemoveWithPrefix(DIR *dir, const char *dirPart, const char *namePart) {
  static const char *const kFn = "KepRmFilesWithPrefix";
  int result = 0;
  size_t nameLength = strlen(namePart);
  char path[kKepPathSize];
  bool failed = false;
  while (struct dirent *entry = KepNextEntry(dir, &failed)) {
    if (!KepFormPath(kFn, dirPart, entry->d_name, path)) {
      result = -1;
      continue;
    }
    // The name first: every start walks the whole folder, and an lstat for
    // each entry would make starting n applications cost n * n stats.
    if (strncmp(entry->d_name, namePart, nameLength) != 0 || !KepIsRegularFile(dir, entry->d_name))
      continue;
    if (unlinkat(dirfd(dir), entry->d_name, 0) != 0) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): unlink(%s) failed (%i).", kFn, path, errno);
      result = -1;
    }
  }
  if (failed) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): readdir_r() failed (%i).", kFn, errno);
    result = -1;
  }
  if (closedir(dir) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): closedir() failed (%i).", kFn, errno);
    result = -1;
  }
  return result;
}

}  // namespace

int KepRmFilesWithPrefix(const char *prefix) {
  static const char *const kFn = "KepRmFilesWithPrefix";
  if (prefix == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): prefix = NULL.", kFn);
    return -1;
  }
  char *dirCopy = strdup(prefix);
  char *baseCopy = strdup(prefix);
  int result = -1;
  if (dirCopy == nullptr || baseCopy == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): strdup(%s) failed (%i).", kFn, prefix, errno);
  } else {
    const char *dirPart = dirname(dirCopy);
    const char *namePart = basename(baseCopy);
    DIR *dir = nullptr;
    if (dirPart == nullptr || *dirPart == '\0') {
      Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): dirname(%s) failed (%i).", kFn, dirCopy,
              errno);
    } else if (namePart == nullptr || *namePart == '\0') {
      Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): basename(%s) failed (%i).", kFn, baseCopy,
              errno);
    } else if ((dir = KepOpenFolder(dirPart)) == nullptr) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): opendir(%s) failed (%i).", kFn, dirPart,
              errno);
    } else {
      result = KepRemoveWithPrefix(dir, dirPart, namePart);
    }
  }
  free(dirCopy);
  free(baseCopy);
  return result;
}

int KepRmAllFilesInDir(const char *dirPath) {
  static const char *const kFn = "KepRmAllFilesInDir";
  if (dirPath == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): dir = NULL).", kFn);
    return -1;
  }
  DIR *dir = KepOpenFolder(dirPath);
  if (dir == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): opendir(%s) failed (%i).", kFn, dirPath, errno);
    return -1;
  }
  int result = 0;
  char path[kKepPathSize];
  bool failed = false;
  while (struct dirent *entry = KepNextEntry(dir, &failed)) {
    if (!KepFormPath(kFn, dirPath, entry->d_name, path)) {
      result = -1;
      continue;
    }
    if (KepIsRegularFile(dir, entry->d_name) && unlinkat(dirfd(dir), entry->d_name, 0) != 0)
      result = -1;
  }
  if (failed) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): readdir_r() failed (%i).", kFn, errno);
    closedir(dir);
    return -1;
  }
  if (closedir(dir) != 0 && result == 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepUtilUnit, "%s(): close() failed (%i).", kFn, errno);
    result = -1;
  }
  return result;
}
