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

constexpr const char *kWriteFn = "KepWriteAppRebootFile";

// Line buffer of the file; a line must fit with its terminator.
constexpr size_t kKepRebootLineSize = 200;

// A device whose image lacks the file's folder would otherwise never record a
// reboot, and the boot-loop protection would silently never work. Only the last
// folder is made: a missing parent above it is a broken file system, not ours.
bool MakeLastFolder(const char *path) {
  char folder[PATH_MAX];
  const char *slash = strrchr(path, '/');
  if (slash == nullptr || slash == path ||
      snprintf(folder, sizeof folder, "%.*s", static_cast<int>(slash - path), path) >=
          static_cast<int>(sizeof folder))
    return false;
  if (mkdir(folder, 0755) == 0 || errno == EEXIST) return true;
  Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): mkdir(%s) failed (%i).", kWriteFn, folder, errno);
  return false;
}

// Logs how a write went, each failing call with the message of its own.
void ReportWrite(const zel::Replaced &done, const std::string &tmpPath) {
  const int error = done.error;
  const char *failed = done.failed != nullptr ? done.failed : "";
  if (strcmp(failed, "open") == 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fopen(%s) failed (%i).", kWriteFn,
            tmpPath.c_str(), error);
  } else if (strcmp(failed, "write") == 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fwrite() failed (%i).", kWriteFn, error);
  } else if (strcmp(failed, "fsync") == 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fsync() failed (%i).", kWriteFn, error);
  }
  if (done.closeError != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fclose() failed (%i).", kWriteFn,
            done.closeError);
  }
  if (strcmp(failed, "rename") == 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): rename(%s, %s) failed (%i).", kWriteFn,
            tmpPath.c_str(), rebootFilePath, error);
  }
  if (*failed != '\0' && strcmp(failed, "open") != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): removed %s after the failed write.", kWriteFn,
            tmpPath.c_str());
  }
  // The file is replaced all the same: a warning, not a failure of the write.
  if (done.folderError != 0) {
    Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): syncing the folder of %s failed (%i).",
            kWriteFn, rebootFilePath, done.folderError);
  }
}

}  // namespace

int KepWriteAppRebootFile(const std::string &name, uint32_t count) {
  if (count == 0 || name.empty() || rebootFilePath == nullptr) return 0;
  char line[kKepRebootLineSize];
  int length = snprintf(line, sizeof line, "%s %u\n", name.c_str(), count);
  if (length < 0 || static_cast<size_t>(length) >= sizeof line) return 0;
  // The line is on storage before the rename makes it the file (a power cut
  // must not leave an empty file and lose the count), the rename after it.
  zel::Replaced done =
      zel::ReplaceFile(rebootFilePath, ".tmp", line, static_cast<size_t>(length), 0666, true);
  if (done.failed != nullptr && strcmp(done.failed, "open") == 0 && done.error == ENOENT &&
      MakeLastFolder(rebootFilePath)) {
    done = zel::ReplaceFile(rebootFilePath, ".tmp", line, static_cast<size_t>(length), 0666, true);
  }
  try {
    ReportWrite(done, std::string(rebootFilePath) + ".tmp");
  } catch (...) {
    // No memory for the temporary's name: the result stands without the report.
  }
  return done.failed == nullptr ? 1 : 0;
}

namespace {

// Opened without blocking and read only when it is a regular file: a FIFO or a
// device at the path would otherwise hang the start-up before any application
// starts. A link is followed only when it is root's or the folder owner's.
// Null when there is nothing to read (a missing file is no failure).
FILE *OpenRebootFile(const char *fn) {
  struct stat info;
  int fd = zel::OpenForReading(rebootFilePath, true, &info);
  if (fd < 0 && errno == ENOENT) return nullptr;
  if (fd >= 0 && !S_ISREG(info.st_mode)) {
    close(fd);
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): %s is not a regular file.", fn, rebootFilePath);
    return nullptr;
  }
  FILE *file = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (file == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fopen(%s) failed (%i).", fn, rebootFilePath,
            errno);
    if (fd >= 0) close(fd);
  }
  return file;
}

// "NAME COUNT": 1 with both taken, else 0 (logged).
int ParseRebootLine(const char *fn, char *line, std::string *name, uint32_t *count) {
  char *space = strchr(line, ' ');
  if (space == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): no space found [%s].", fn, line);
    return 0;
  }
  *space = '\0';
  char *rest = space + 1;
  while (*rest == ' ') ++rest;
  long value = strtol(rest, nullptr, 10);
  if (value == 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): invalid count [%s].", fn, rest);
    return 0;
  }
  try {
    if (name != nullptr) *name = line;
  } catch (...) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): out of memory.", fn);
    return 0;
  }
  // A negative count wraps to a large one and so disables the application.
  if (count != nullptr) *count = static_cast<uint32_t>(value);
  return 1;
}

}  // namespace

int KepReadAppRebootFile(std::string *name, uint32_t *count) {
  static const char *const fn = "KepReadAppRebootFile";
  if (name != nullptr) name->clear();
  if (count != nullptr) *count = 0;
  if (rebootFilePath == nullptr) return 0;
  FILE *file = OpenRebootFile(fn);
  if (file == nullptr) return 0;
  int result = 0;
  char line[kKepRebootLineSize];
  errno = 0;
  if (fgets(line, sizeof line, file) == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): fgets() failed (%i).", fn, errno);
  } else {
    result = ParseRebootLine(fn, line, name, count);
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
    int error = zel::SyncFolderOf(rebootFilePath);
    if (error != 0) {
      Log_Msg(LOG_MSG_WARNING, 0, kKepMainUnit, "%s(): syncing the folder of %s failed (%i).", fn,
              rebootFilePath, error);
    }
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): removed %s.", fn, rebootFilePath);
    return 1;
  }
  if (errno == ENOENT) return 1;
  Log_Msg(LOG_MSG_ERROR, 0, kKepMainUnit, "%s(): unlink(%s) failed (%i).", fn, rebootFilePath,
          errno);
  return 0;
}
