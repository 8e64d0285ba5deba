// The board's hardware watchdog, fed while kep completes its passes and its
// waits: a kep that hangs, or is stopped, no longer feeds it, and the board
// resets once its timeout has passed. Nothing here runs without hwWatchdog.
#include <errno.h>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "ZelKepLib.h"
#include "ZelLog.h"
#include "kep_main.h"
#include "kep_sys.h"
#include "zel_files.h"

namespace {

constexpr const char *kFn = "KepHwWatchdog";
// Feeds from within a wait come at most this often (a pass feeds each time).
constexpr long long kKepTickFeedUs = 500000;

int device = -1;
int timeoutSet = 0;
struct timeval lastFeed = {0, 0};
bool feedFailureLogged = false;
// The "fed=" field of the hardware-watchdog file, mapped: each feed shows
// there without a system call.
char *fedField = nullptr;
void *fileMap = nullptr;
size_t fileMapSize = 0;

constexpr const char kFedFormat[] = "%017lld.%06ld";
constexpr size_t kFedWidth = 24;

// The file beside the status file that shows the watchdog; empty without a
// status file.
std::string KepHwWatchdogFile() { return KepBesideStatusFile(kKepHwWatchdogFileName); }

// For kep-status: the device, the timeout in force and the boot-clock time of
// the last feed, which each feed rewrites in place.
void KepShowHwWatchdog(const char *path) {
  std::string file = KepHwWatchdogFile();
  if (file.empty()) return;
  char text[512];
  int length = snprintf(text, sizeof text, "kep-hw-watchdog 1\ndevice=%s\ntimeout=%i\nfed=", path,
                        timeoutSet);
  if (length < 0 || static_cast<size_t>(length) + kFedWidth + 2 > sizeof text) return;
  snprintf(text + length, kFedWidth + 2, kFedFormat, 0LL, 0L);
  text[length + kFedWidth] = '\n';
  size_t size = static_cast<size_t>(length) + kFedWidth + 1;
  int fd = zel::CreateFresh(file.c_str(), 0644, O_RDWR);  // mapped for writing
  if (fd < 0) return;
  if (zel::WriteAll(fd, text, size) == size) {
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) {
      fileMap = map;
      fileMapSize = size;
      fedField = static_cast<char *>(map) + length;
    }
  }
  close(fd);
}

// The timeout asked for, or what the driver made of it (logged).
void KepSetHwTimeout(const char *path) {
  int wanted = static_cast<int>(KepGetHwWatchdogTimeout());
  int got = wanted;
  if (kep::sys::DeviceIoctl(device, WDIOC_SETTIMEOUT, &got) != 0) {
    int error = errno;
    if (kep::sys::DeviceIoctl(device, WDIOC_GETTIMEOUT, &got) != 0) got = 0;
    Log_Msg(LOG_MSG_WARNING, 1, kKepMainUnit,
            "%s(): %s refused the timeout of %i s (errno = %i); its timeout is %i s.", kFn, path,
            wanted, error, got);
  } else if (got != wanted) {
    Log_Msg(LOG_MSG_WARNING, 1, kKepMainUnit, "%s(): %s set its timeout to %i s, not %i s.", kFn,
            path, got, wanted);
  }
  timeoutSet = got;
}

}  // namespace

void KepHwWatchdogStart() {
  const char *path = KepGetHwWatchdog();
  // An earlier kep's file tells of a watchdog that this kep does not feed.
  if (path == nullptr || device >= 0) {
    if (device < 0 && !KepHwWatchdogFile().empty()) unlink(KepHwWatchdogFile().c_str());
    return;
  }
  device = kep::sys::DeviceOpen(path, O_WRONLY | O_CLOEXEC);
  if (device < 0) {
    Log_Msg(LOG_MSG_ERROR, 1, kKepMainUnit,
            "%s(): cannot open %s (errno = %i): nothing resets the board if kep hangs.", kFn, path,
            errno);
    return;
  }
  feedFailureLogged = false;
  KepSetHwTimeout(path);
  Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): feeding %s, timeout %i s.", kFn, path, timeoutSet);
  KepShowHwWatchdog(path);
  KepHwWatchdogFeed();
  kepAppControl.tick = KepHwWatchdogTick;
}

void KepHwWatchdogFeed() {
  if (device < 0) return;
  if (kep::sys::DeviceIoctl(device, WDIOC_KEEPALIVE, nullptr) != 0) {
    if (!feedFailureLogged) {
      feedFailureLogged = true;
      Log_Msg(LOG_MSG_ERROR, 1, kKepMainUnit, "%s(): feeding %s failed (errno = %i).", kFn,
              KepGetHwWatchdog(), errno);
    }
    return;
  }
  KepGetUptime(&lastFeed);
  if (fedField != nullptr) {
    char fed[kFedWidth + 1];
    snprintf(fed, sizeof fed, kFedFormat, static_cast<long long>(lastFeed.tv_sec),
             static_cast<long>(lastFeed.tv_usec));
    memcpy(fedField, fed, kFedWidth);
  }
}

void KepHwWatchdogTick() {
  if (device < 0) return;
  struct timeval now = {0, 0};
  KepGetUptime(&now);
  long long since = (static_cast<long long>(now.tv_sec) - lastFeed.tv_sec) * 1000000LL +
                    (now.tv_usec - lastFeed.tv_usec);
  if (since >= kKepTickFeedUs) KepHwWatchdogFeed();
}

void KepHwWatchdogEnd(bool rebootAsked) {
  if (device < 0) return;
  kepAppControl.tick = nullptr;
  const char *path = KepGetHwWatchdog();
  if (rebootAsked) {
    // Closed by the exit without the magic character: a reboot that does not
    // come resets the board all the same.
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): %s stays armed for the reboot.", kFn, path);
    device = -1;
    return;
  }
  bool nowayout = kep::sys::DeviceNowayout(device);
  // The magic close: 'V', then close, stops a driver that allows it.
  kep::sys::DeviceWrite(device, "V", 1);
  kep::sys::DeviceClose(device);
  device = -1;
  if (fileMap != nullptr) munmap(fileMap, fileMapSize);
  fileMap = nullptr;
  fedField = nullptr;
  if (!KepHwWatchdogFile().empty()) unlink(KepHwWatchdogFile().c_str());
  if (nowayout) {
    Log_Msg(LOG_MSG_WARNING, 1, kKepMainUnit,
            "%s(): %s stays armed (its driver never stops): the board resets in %i s.", kFn, path,
            timeoutSet);
  } else {
    Log_Msg(LOG_MSG_INFO, 1, kKepMainUnit, "%s(): %s disarmed.", kFn, path);
  }
}
