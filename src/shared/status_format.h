// The status file that kep writes and kep-status reads (format in
// docs/files.md): where it is, how values are escaped, and the parsed form.
#pragma once

#include <stddef.h>
#include <sys/time.h>
#include <time.h>

#include <string>
#include <string_view>
#include <vector>

// kep's run-time folder: RAM, this boot only, root's alone (0755).
inline constexpr const char *kKepRunDir = "/run/kep";
inline constexpr const char *kKepStatusFilePath = "/run/kep/status";
// Beside the status file while kep feeds a hardware watchdog: its device, the
// timeout in force and the time of the last feed ("kep-hw-watchdog 1" and
// device=, timeout=, fed= lines; fed is rewritten in place with each feed).
inline constexpr const char *kKepHwWatchdogFileName = "hw-watchdog";

struct KepHwWatchdogShown {
  std::string device;
  long timeout = 0;
  struct timeval fed = {0, 0};  // boot clock; 0.0: not fed yet
};

// Parses the hardware-watchdog file; false when the text is not one.
bool KepParseHwWatchdog(const std::string &text, KepHwWatchdogShown *shown);

// Appends value with every space, control character, '%' and DEL as %XX, so
// that a line splits at spaces and a value at its first '='.
void KepStatusEscape(std::string &out, std::string_view value);
// Undoes it; false when a % is not followed by two hexadecimal digits.
bool KepStatusUnescape(const std::string &in, std::string *out);

struct KepStatusApp {
  std::string name;
  std::string state;  // kep's application-state name
  long pid = 0;
  bool disabled = false;
  unsigned long level = 0;
  struct timeval exec = {0, 0};  // boot-clock time of the current process's start
  unsigned long starts = 0;
  std::string exit;  // "none", "status:N", "signal:N" or "unknown"
  struct timeval exitAt = {0, 0};
  unsigned long deaths = 0;
  std::string wait;  // "none", "start", "init" or "stop"
  std::string wd;    // watchdog file; empty when none
  // Optional keys (absent in files of older kep versions).
  unsigned long long pstart = 0;  // the process's start in clock ticks after boot; 0: unknown
  std::string stopFile;           // empty when none
  struct timeval held = {0, 0};   // boot clock: since when kep-ctl holds it stopped; 0.0: not
  std::string user;               // the user it runs as, as configured; empty: kep's own
};

struct KepStatusData {
  long pid = 0;
  unsigned long long start = 0;  // kep's start time in clock ticks since boot; 0: unknown
  std::string boot;              // boot id; empty: unknown
  struct timeval started = {0, 0}, written = {0, 0};
  std::string state, stop, stopApp, config;
  unsigned long ctlWait = 0;  // kep-ctl's default wait for a command, in seconds; 0: unknown
  std::vector<KepStatusApp> apps;
};

// Reads the file at path, which must be a regular file of at most 4 MiB; it is
// opened without blocking, so a FIFO or a device cannot hang the reader. false,
// with *problem telling why, when it cannot be read.
bool KepReadStatusFile(const char *path, std::string *text, time_t *mtime, std::string *problem);

// Parses a whole status file. false, with *error telling what is wrong and on
// which line, when the text is not one complete status file.
bool KepParseStatus(const std::string &text, KepStatusData *data, std::string *error);

// Whether name picks the application configured as appName: its whole name or
// its last path component.
bool KepNameMatches(const std::string &appName, const std::string &name);
