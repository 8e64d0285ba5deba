// The reboot-application file: which application caused the last recorded
// reboots of the device and how many in a row. One text line "NAME COUNT\n".
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ZelLog.h"
#include "kep_main.h"
#include "zel_files.h"

std::string rebootAppName;
uint32_t rebootAppCount = 0;

namespace {

// Line buffer of the file; a line must fit with its terminator.
constexpr size_t kKepRebootLineSize = 200;

void DirectoryOf(const char *path, char (&dir)[PATH_MAX]) {
  const char *slash = strrchr(path, '/');
  if (slash == nullptr) {
    snprintf(dir, sizeof dir, ".");
  } else {
    int length = slash == path ? 1 : static_cast<int>(slash - path);
    snprintf(dir, sizeof dir, "%.*s", length, path);
  }
}

FILE *OpenNewFile(const char *tmpPath) {
  int fd = KepOpenFreshFile(tmpPath, 0666);
  if (fd < 0) return nullptr;
  FILE *file = fdopen(fd, "w");
  if (file == nullptr) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

// A device whose image lacks the file's folder would otherwise never record a
// reboot, and the boot-loop protection would silently never work. Only the last
// folder is made: a missing parent above it is a broken file system, not ours.
FILE *OpenCreatingFolder(const char *tmpPath) {
  static const char *const fn = "KepWriteAppRebootFile";
  FILE *file = OpenNewFile(tmpPath);
  if (file != nullptr || errno != ENOENT) return file;
  char dir[PATH_MAX];
  DirectoryOf(tmpPath, dir);
  if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): mkdir(%s) failed (%i).", fn, dir, errno);
    errno = ENOENT;
    return nullptr;
  }
  return OpenNewFile(tmpPath);
}

// A rename or an unlink is only durable once the directory entry is on
// storage too. A file system that cannot sync directories (EINVAL) has nothing
// to flush. The file is replaced (or gone) all the same when this fails: it is
// a warning, not a failure of the write.
void SyncDirectoryOf(const char *fn, const char *path) {
  char dir[PATH_MAX];
  DirectoryOf(path, dir);
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): open(%s) failed (%i).", fn, dir, errno);
    return;
  }
  if (fsync(fd) != 0 && errno != EINVAL) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): fsync(%s) failed (%i).", fn, dir, errno);
  }
  close(fd);
}

void RemoveTemporary(const char *tmpPath) {
  static const char *const fn = "KepWriteAppRebootFile";
  if (unlink(tmpPath) == 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): removed %s after the failed write.", fn,
            tmpPath);
  } else if (errno != ENOENT) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): unlink(%s) failed (%i).", fn, tmpPath, errno);
  }
}

}  // namespace

int KepOpenFreshFile(const char *path, mode_t mode) {
  unlink(path);
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int KepWriteAppRebootFile(const std::string &name, uint32_t count) {
  static const char *const fn = "KepWriteAppRebootFile";
  if (count == 0 || name.empty() || rebootFilePath == nullptr) return 0;

  char line[kKepRebootLineSize];
  int length = snprintf(line, sizeof line, "%s %u\n", name.c_str(), count);
  if (length < 0 || static_cast<size_t>(length) >= sizeof line) return 0;

  char tmpPath[PATH_MAX];
  int tmpLength = snprintf(tmpPath, sizeof tmpPath, "%s.tmp", rebootFilePath);
  if (tmpLength < 0 || static_cast<size_t>(tmpLength) >= sizeof tmpPath) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): path too long (%s).", fn, rebootFilePath);
    return 0;
  }
  FILE *file = OpenCreatingFolder(tmpPath);
  if (file == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fopen(%s) failed (%i).", fn, tmpPath, errno);
    return 0;
  }

  bool failed = false;
  if (fwrite(line, static_cast<size_t>(length), 1, file) != 1) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fwrite() failed (%i).", fn, errno);
    failed = true;
  }
  // The line must be on storage before the rename makes it the file: a power
  // cut after the rename would otherwise leave an empty file and lose the count.
  if (!failed && fflush(file) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fflush() failed (%i).", fn, errno);
    failed = true;
  }
  if (!failed && fsync(fileno(file)) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fsync() failed (%i).", fn, errno);
    failed = true;
  }
  if (fclose(file) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fclose() failed (%i).", fn, errno);
  }
  if (failed) {
    RemoveTemporary(tmpPath);
    return 0;
  }

  if (rename(tmpPath, rebootFilePath) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): rename(%s, %s) failed (%i).", fn, tmpPath,
            rebootFilePath, errno);
    RemoveTemporary(tmpPath);
    return 0;
  }
  SyncDirectoryOf(fn, rebootFilePath);
  return 1;
}

int KepReadAppRebootFile(std::string *name, uint32_t *count) {
  static const char *const fn = "KepReadAppRebootFile";
  if (name != nullptr) name->clear();
  if (count != nullptr) *count = 0;
  if (rebootFilePath == nullptr) return 0;

  // Opened without blocking and read only when it is a regular file: a FIFO or
  // a device at the path would otherwise hang the start-up before any
  // application starts.
  // A link is followed only when it is root's or the folder owner's.
  int fd =
      zel::OpenTrusted(rebootFilePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0, nullptr);
  if (fd < 0 && errno == ENOENT) return 0;
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) {
    close(fd);
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): %s is not a regular file.", fn, rebootFilePath);
    return 0;
  }
  FILE *file = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (file == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fopen(%s) failed (%i).", fn, rebootFilePath,
            errno);
    if (fd >= 0) close(fd);
    return 0;
  }

  int result = 0;
  char line[kKepRebootLineSize];
  errno = 0;
  if (fgets(line, sizeof line, file) == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fgets() failed (%i).", fn, errno);
  } else {
    char *space = strchr(line, ' ');
    if (space == nullptr) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): no space found [%s].", fn, line);
    } else {
      *space = '\0';
      char *rest = space + 1;
      while (*rest == ' ') ++rest;
      long value = strtol(rest, nullptr, 10);
      if (value == 0) {
        Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): invalid count [%s].", fn, rest);
      } else {
        try {
          if (name != nullptr) *name = line;
          // A negative count wraps to a large one and so disables the application.
          if (count != nullptr) *count = static_cast<uint32_t>(value);
          result = 1;
        } catch (...) {
          Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): out of memory.", fn);
        }
      }
    }
  }

  if (fclose(file) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fclose() failed (%i).", fn, errno);
  }
  return result;
}

int KepRemoveAppRebootFile() {
  static const char *const fn = "KepRemoveAppRebootFile";
  if (rebootFilePath == nullptr) return 0;
  if (unlink(rebootFilePath) == 0) {
    // Durable like a write: a record that came back after a power cut would
    // count reboots that were not in a row.
    SyncDirectoryOf(fn, rebootFilePath);
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): removed %s.", fn, rebootFilePath);
    return 1;
  }
  if (errno == ENOENT) return 1;
  Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): unlink(%s) failed (%i).", fn, rebootFilePath,
          errno);
  return 0;
}
