// Synchronisation files: "kep-sync pid=PID\n", written by the application,
// read by the supervisor.
#include <errno.h>
#include <limits.h>
#include <stdio.h>

#include "ZelKepLib.h"
#include "keplib_files.h"

using namespace keplib;

extern "C" int KepReadSyncFile(const char *path, pid_t pid, void *reserved) {
  if (path == nullptr || pid <= 0 || reserved != nullptr) return kKepFileBadArgument;
  char content[kKepMaxFileBytes];
  size_t length = 0;
  int status = ReadSmallFile(path, content, sizeof content, &length);
  if (status != kKepFileOk) return status;
  const char *cursor = content;
  const char *end = content + length;
  uint64_t written = 0;
  // The final newline proves the file is complete: a cut "12345" could
  // otherwise read as pid 1234.
  if (!ParseLiteral(&cursor, end, "kep-sync pid=") ||
      !ParseNumber(&cursor, end, INT_MAX, &written) || !ParseLiteral(&cursor, end, "\n") ||
      cursor != end) {
    return kKepFileDamaged;
  }
  return static_cast<pid_t>(written) == pid ? kKepFileOk : kKepFileOtherPid;
}

extern "C" int KepWriteSyncFile(const char *path, pid_t pid) {
  if (path == nullptr || *path == '\0' || pid <= 0) {
    errno = EINVAL;
    return -1;
  }
  char text[64];
  int length = snprintf(text, sizeof text, "kep-sync pid=%ld\n", static_cast<long>(pid));
  return WriteFileAtomically(path, text, static_cast<size_t>(length));
}
