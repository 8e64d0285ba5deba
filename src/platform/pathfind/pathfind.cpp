// libZelPathfind: the search of a program along a search path.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ZelPathfind.h"

namespace {

constexpr const char *kDefaultSearchPath = "/bin:/usr/bin";

// access(2) mode for the letters of MODE; -1 for an unknown letter.
int AccessMode(const char *mode) {
  int wanted = F_OK;
  for (const char *letter = mode; letter != nullptr && *letter != '\0'; ++letter) {
    switch (*letter) {
      case 'r':
        wanted |= R_OK;
        break;
      case 'w':
        wanted |= W_OK;
        break;
      case 'x':
        wanted |= X_OK;
        break;
      default:
        return -1;
    }
  }
  return wanted;
}

bool Matches(const std::string &path, int wanted) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         access(path.c_str(), wanted) == 0;
}

char *Copy(const std::string &path) {
  char *copy = strdup(path.c_str());
  if (copy == nullptr) errno = ENOMEM;
  return copy;
}

}  // namespace

extern "C" char *ZelPathfind(const char *searchPath, const char *name, const char *mode) {
  int wanted = AccessMode(mode);
  if (name == nullptr || *name == '\0' || wanted < 0) {
    errno = EINVAL;
    return nullptr;
  }
  try {
    if (strchr(name, '/') != nullptr) {
      if (Matches(name, wanted)) return Copy(name);
      errno = ENOENT;
      return nullptr;
    }
    std::string list = searchPath != nullptr ? searchPath : kDefaultSearchPath;
    size_t start = 0;
    for (;;) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      std::string folder = list.substr(start, end - start);
      if (folder.empty()) folder = ".";
      std::string candidate = folder + (folder.back() == '/' ? "" : "/") + name;
      if (Matches(candidate, wanted)) return Copy(candidate);
      if (end == list.size()) break;
      start = end + 1;
    }
  } catch (...) {
    errno = ENOMEM;
    return nullptr;
  }
  errno = ENOENT;
  return nullptr;
}
