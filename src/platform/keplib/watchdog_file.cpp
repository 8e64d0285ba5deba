// Watchdog files: "kep-wd pid=PID count=N fed=SECONDS.MICROS\n", fed by the
// application with its boot-clock time, read by the supervisor. The age is the
// boot clock now minus the time written in the file: the wall clock and the
// file's mtime play no part, so neither a clock jump nor a touch can make a
// dead application look fed or a fed one look dead.
#include <errno.h>
#include <limits.h>
#include <stdio.h>

#include <limits>

#include "ZelKepLib.h"
#include "keplib_files.h"

using namespace keplib;

namespace {

struct Feed {
  pid_t pid;
  uint32_t count;
  struct timeval fedAt;
};

int ReadFeed(const char *path, Feed *feed) {
  char content[kKepMaxFileBytes];
  size_t length = 0;
  int status = ReadSmallFile(path, content, sizeof content, &length);
  if (status != kKepFileOk) return status;
  const char *cursor = content;
  const char *end = content + length;
  uint64_t pid = 0;
  uint64_t count = 0;
  uint64_t seconds = 0;
  uint64_t usec = 0;
  const uint64_t maxSeconds = static_cast<uint64_t>(std::numeric_limits<time_t>::max());
  if (!ParseLiteral(&cursor, end, "kep-wd pid=") || !ParseNumber(&cursor, end, INT_MAX, &pid) ||
      pid == 0 || !ParseLiteral(&cursor, end, " count=") ||
      !ParseNumber(&cursor, end, UINT32_MAX, &count) || !ParseLiteral(&cursor, end, " fed=") ||
      !ParseNumber(&cursor, end, maxSeconds, &seconds) || !ParseLiteral(&cursor, end, ".")) {
    return kKepFileDamaged;
  }
  const char *micros = cursor;
  if (!ParseNumber(&cursor, end, 999999, &usec) || cursor - micros != 6 ||
      !ParseLiteral(&cursor, end, "\n") || cursor != end) {
    return kKepFileDamaged;
  }
  feed->pid = static_cast<pid_t>(pid);
  feed->count = static_cast<uint32_t>(count);
  feed->fedAt.tv_sec = static_cast<time_t>(seconds);
  feed->fedAt.tv_usec = static_cast<suseconds_t>(usec);
  return kKepFileOk;
}

}  // namespace

extern "C" int KepWatchdogFileTime(const char *path, pid_t pid, struct timeval *age,
                                   struct timeval *fedAt, struct timeval *now, uint32_t *count) {
  if (path == nullptr || pid <= 0) return kKepFileBadArgument;
  Feed feed;
  int status = ReadFeed(path, &feed);
  if (status != kKepFileOk) return status;
  // A file left by an earlier run of the application: it has not fed yet.
  if (feed.pid != pid) return kKepFileOtherPid;
  struct timeval current;
  KepGetUptime(&current);
  // A feed later than now cannot come from this boot: not a proof of life.
  if (timercmp(&feed.fedAt, &current, >)) return kKepFileDamaged;
  struct timeval elapsed;
  KepTvSub(&current, &feed.fedAt, &elapsed);
  if (age != nullptr) *age = elapsed;
  if (fedAt != nullptr) *fedAt = feed.fedAt;
  if (now != nullptr) *now = current;
  if (count != nullptr) *count = feed.count;
  return kKepFileOk;
}

extern "C" int KepFeedWatchdogFile(const char *path, pid_t pid) {
  if (path == nullptr || *path == '\0' || pid <= 0) {
    errno = EINVAL;
    return -1;
  }
  // The count goes on from the file when this process fed it before, and starts
  // at 1 otherwise (new file, another pid, damaged content). It wraps after
  // 4294967295 feeds.
  Feed previous;
  uint32_t count = 1;
  if (ReadFeed(path, &previous) == kKepFileOk && previous.pid == pid) count = previous.count + 1;
  struct timeval fedAt;
  KepGetUptime(&fedAt);
  char text[kKepMaxFileBytes];
  int length = snprintf(text, sizeof text, "kep-wd pid=%ld count=%lu fed=%lld.%06ld\n",
                        static_cast<long>(pid), static_cast<unsigned long>(count),
                        static_cast<long long>(fedAt.tv_sec), static_cast<long>(fedAt.tv_usec));
  return WriteFileAtomically(path, text, static_cast<size_t>(length));
}
