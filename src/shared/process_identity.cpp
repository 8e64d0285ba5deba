#include "process_identity.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// The fields of /proc/PID/stat after the command name, which may hold spaces
// and parentheses: they count from the last ')'. Field 3 (the state) is at
// index 0. Null when the text is not a stat line.
const char *StatFields(const char *stat) {
  const char *close = strrchr(stat, ')');
  return close != nullptr && close[1] == ' ' ? close + 2 : nullptr;
}

// Field number n (3 or more) of a stat line's fields; null when missing.
const char *StatField(const char *fields, int n) {
  const char *field = fields;
  for (int at = 3; field != nullptr && at < n; ++at) {
    field = strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  return field;
}

bool Dead(const char *fields) { return fields[0] == 'Z' || fields[0] == 'X'; }

// A live (not zombie) process PID that started START ticks after boot.
bool StartedAt(long pid, unsigned long long start) {
  return start != 0 && KepProcStartTicks(std::to_string(pid)) == start;
}

// The innermost of the pids that /proc/PID/status lists for its namespaces.
long InnermostPid(const char *pid) {
  char status[8192];
  if (!KepReadProcFile(std::string("/proc/") + pid + "/status", status, sizeof status)) return 0;
  const char *line = strstr(status, "\nNSpid:");
  if (line == nullptr) return 0;
  const char *end = strchr(line + 1, '\n');
  const char *last = line + 7;
  for (const char *c = line + 7; *c != '\0' && c != end; ++c) {
    if (*c == '\t' || *c == ' ') last = c + 1;
  }
  return strtol(last, nullptr, 10);
}

}  // namespace

bool KepReadProcFile(const std::string &path, char *buffer, size_t size) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t length = read(fd, buffer, size - 1);
  close(fd);
  if (length <= 0) return false;
  buffer[length] = '\0';
  return true;
}

unsigned long long KepProcStartTicks(const std::string &pid) {
  char stat[1024];
  if (!KepReadProcFile("/proc/" + pid + "/stat", stat, sizeof stat)) return 0;
  const char *fields = StatFields(stat);
  if (fields == nullptr || Dead(fields)) return 0;
  const char *start = StatField(fields, 22);
  return start != nullptr ? strtoull(start, nullptr, 10) : 0;
}

std::string KepBootId() {
  char id[64];
  if (!KepReadProcFile("/proc/sys/kernel/random/boot_id", id, sizeof id)) return "";
  id[strcspn(id, "\n")] = '\0';
  return id;
}

unsigned KepProcGroupMembers(pid_t pgid) {
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return 0;
  unsigned members = 0;
  while (struct dirent *entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    char stat[1024];
    if (!KepReadProcFile(std::string("/proc/") + entry->d_name + "/stat", stat, sizeof stat))
      continue;
    const char *fields = StatFields(stat);
    const char *group = fields != nullptr ? StatField(fields, 5) : nullptr;
    if (group != nullptr && !Dead(fields) && atol(group) == static_cast<long>(pgid)) ++members;
  }
  closedir(proc);
  return members;
}

long KepFindProcess(long pid, unsigned long long start) {
  // Without /proc a start time could not be read: the pid alone has to do.
  if (start == 0) return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM ? pid : 0;
  if (StartedAt(pid, start)) return pid;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return 0;
  long found = 0;
  while (struct dirent *entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    if (InnermostPid(entry->d_name) == pid && StartedAt(atol(entry->d_name), start)) {
      found = atol(entry->d_name);
      break;
    }
  }
  closedir(proc);
  return found;
}
