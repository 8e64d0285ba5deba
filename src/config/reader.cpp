// The configuration file reader: reads the file piece by piece, hands every
// piece to ProcessConfigLine and adds the synchronisation-file variables to
// each application's environment.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "ZelLog.h"
#include "kep_config.h"
#include "zel_files.h"

namespace {

// fgets takes at most 399 characters a piece, so a longer line is read, and
// counted, as several lines.
constexpr int kKepLineBufferSize = 400;

// Appends KEP_START_FILE, KEP_INIT_FILE, KEP_STOP_FILE and KEP_WD_FILE for the
// files the application has. 0, or the status of the first failing KepPushEnv.
int KepAddToAppEnv(KepApp &app) {
  const struct {
    const char *name;
    const std::optional<std::string> &file;
  } entries[] = {
      {"KEP_START_FILE", app.startFile},
      {"KEP_INIT_FILE", app.initFile},
      {"KEP_STOP_FILE", app.stopFile},
      {"KEP_WD_FILE", app.wdFile},
  };
  for (const auto &entry : entries) {
    if (!entry.file.has_value()) continue;
    int status = KepPushEnv(entry.name, entry.file->c_str(), &app.envList);
    if (status != KEP_OK) return status;
  }
  return KEP_OK;
}

// Reads and handles the lines until the end of the file, a failing line or a
// read error. Returns 0 or the failing status; *failedLine is the line the
// failure belongs to.
int KepReadLines(FILE *file, KepParseContext *context, uint32_t *failedLine) {
  char line[kKepLineBufferSize];
  for (;;) {
    errno = 0;
    if (fgets(line, sizeof line, file) == nullptr) {
      if (!ferror(file)) return KEP_OK;
      // A read error must not end the read as if the file had ended there.
      *failedLine = context->lineNumber + 1;
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): reading %s failed at line %u, errno = %i.",
              "KepReadConfig", context->fileName, *failedLine, errno);
      return KEP_ERR_OPEN;
    }
    ++context->lineNumber;
    int status = ProcessConfigLine(line, context);
    if (status != KEP_OK) {
      *failedLine = context->lineNumber;
      return status;
    }
  }
}

// A character device that ends at the first read, such as /dev/null, reads as
// an empty configuration; nothing more than one byte is ever asked of it.
bool KepReadsAsEmpty(int fd) {
  char byte;
  ssize_t got;
  do {
    got = read(fd, &byte, 1);
  } while (got < 0 && errno == EINTR);
  return got == 0;
}

// Opens the configuration without blocking, so that a FIFO cannot hang the
// start-up. Only a regular file is read: a device such as /dev/zero would
// never end, and a directory opens but cannot be read; neither is an empty
// configuration. /dev/null is (*empty, no stream). Null, with *status set and
// the failure logged, when it cannot be read.
FILE *KepOpenConfig(const char *path, bool *empty, int *status) {
  *status = KEP_ERR_OPEN;
  struct stat info;
  int fd = zel::OpenForReading(path, false, &info);
  int error = fd < 0 ? errno : 0;
  if (error == 0 && S_ISDIR(info.st_mode)) error = EISDIR;
  if (error == 0 && !S_ISREG(info.st_mode)) {
    *empty = S_ISCHR(info.st_mode) && KepReadsAsEmpty(fd);
    close(fd);
    if (*empty) {
      *status = KEP_OK;
    } else {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): %s is not a regular file.", "KepReadConfig",
              path);
    }
    return nullptr;
  }
  FILE *file = nullptr;
  if (error == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) error = errno;
  if (error == 0 && (file = fdopen(fd, "r")) == nullptr) error = errno;
  if (file != nullptr) return file;
  if (fd >= 0) close(fd);
  Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): fopen(%s) failed, errno = %i.", "KepReadConfig",
          path, error);
  return nullptr;
}

}  // namespace

int KepReadConfig(const char *path, KepReadNotes *notes) {
  if (path == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): NULL file received.", __func__);
    return KEP_ERR_INVALID_ARG;
  }
  Log_Msg(LOG_MSG_INFO, 1, kKepConfigUnit, "%s(): reading config file %s.", __func__, path);

  bool empty = false;
  int status = KEP_OK;
  FILE *file = KepOpenConfig(path, &empty, &status);
  if (file == nullptr && !empty) return status;

  int lineStatus = KEP_OK;
  uint32_t lineNumber = 0;
  if (file != nullptr) {
    KepParseContext context;
    context.fileName = path;
    context.notes = notes;
    uint32_t failedLine = 0;
    lineStatus = KepReadLines(file, &context, &failedLine);
    lineNumber = context.lineNumber;
    if (lineStatus != KEP_OK) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): parsing %s failed at line %u.", __func__,
              path, failedLine);
      fprintf(stderr, "%s(): parsing %s failed at line %u.\n", __func__, path, failedLine);
    }
    // A block still open here is dropped with the context.
  }

  if (file != nullptr && fclose(file) != 0) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): fclose() for %s failed, errno = %i.", __func__,
            path, errno);
  }
  Log_Msg(LOG_MSG_INFO, 0, kKepConfigUnit, "%s(): %i lines read from %s.", __func__,
          static_cast<int>(lineNumber), path);

  int envStatus = KEP_OK;
  for (KepApp &app : KepGetAppList()) {
    envStatus = KepAddToAppEnv(app);
    if (envStatus != KEP_OK) {
      Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): KepAddToAppEnv() failed (%i).", __func__,
              envStatus);
      break;
    }
  }
  return lineStatus != KEP_OK ? lineStatus : envStatus;
}

char *KepGetQuotedString(char *text) {
  if (text == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): NULL argument.", __func__);
    return nullptr;
  }
  text += strspn(text, " \t");
  char *last = strrchr(text, '"');
  if (last == nullptr) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): quotes missing.", __func__);
    return nullptr;
  }
  if (text[0] != '"') {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): open quote missing.", __func__);
    return nullptr;
  }
  if (last == text) {
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): close quote missing", __func__);
    return nullptr;
  }
  *last = '\0';
  return text + 1;
}

int KepPushEnv(const char *name, const char *value, std::list<std::string> *list) {
  if (name == nullptr || value == nullptr || list == nullptr) return KEP_ERR_INVALID_ARG;
  try {
    std::string entry;
    entry.reserve(strlen(name) + strlen(value) + 2);
    entry.append(name).append("=").append(value);
    list->push_back(std::move(entry));
  } catch (...) {
    // Only an allocation can fail here (bad_alloc, or a size beyond the limit).
    Log_Msg(LOG_MSG_ERROR, 0, kKepConfigUnit, "%s(): LxNew failed, file: %s, line: %i.", __func__,
            kKepConfigUnit, __LINE__);
    return KEP_ERR_ALLOC;
  }
  return KEP_OK;
}
