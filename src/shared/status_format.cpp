#include "status_format.h"

#include <stdio.h>

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

bool KepNameMatches(const std::string &appName, const std::string &name) {
  size_t slash = appName.rfind('/');
  return appName == name ||
         (slash != std::string::npos && appName.compare(slash + 1, std::string::npos, name) == 0);
}
