#include "status_format.h"

#include <stdio.h>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool KepStatusUnescape(const std::string &in, std::string *out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      *out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int high = HexValue(in[i + 1]), low = HexValue(in[i + 2]);
    if (high < 0 || low < 0) return false;
    *out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

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
