#include "status_format.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

void KepStatusEscape(std::string &out, std::string_view value) {
  for (unsigned char byte : value) {
    if (byte <= ' ' || byte == '%' || byte == 0x7f) {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", byte);
      out += escaped;
    } else {
      out += static_cast<char>(byte);
    }
  }
}

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
  // The command name may hold spaces and parentheses: fields count from the last ')'.
  const char *field = strrchr(stat, ')');
  if (field == nullptr || field[1] != ' ' || field[2] == 'Z' || field[2] == 'X') return 0;
  for (int n = 2; field != nullptr && n < 22; ++n) field = strchr(field + 1, ' ');
  return field != nullptr ? strtoull(field + 1, nullptr, 10) : 0;
}

std::string KepBootId() {
  char id[64];
  if (!KepReadProcFile("/proc/sys/kernel/random/boot_id", id, sizeof id)) return "";
  id[strcspn(id, "\n")] = '\0';
  return id;
}
