// libZelPathfind: the search of a program along a search path.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool Matches(const char *path, int wanted) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode) && access(path, wanted) == 0;
}

// FOLDER (LENGTH bytes; "." when empty), a slash unless it ends with one, and
// NAME, in a new string on the heap; null when memory runs out.
char *Candidate(const char *folder, size_t length, const char *name) {
  if (length == 0) {
    folder = ".";
    length = 1;
  }
  const char *slash = folder[length - 1] == '/' ? "" : "/";
  size_t size = length + strlen(slash) + strlen(name) + 1;
  char *path = static_cast<char *>(malloc(size));
  if (path == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  memcpy(path, folder, length);
  snprintf(path + length, size - length, "%s%s", slash, name);
  return path;
}

}  // namespace

extern "C" char *ZelPathfind(const char *searchPath, const char *name, const char *mode) {
  int wanted = AccessMode(mode);
  if (name == nullptr || *name == '\0' || wanted < 0) {
    errno = EINVAL;
    return nullptr;
  }
  if (strchr(name, '/') != nullptr) {
    if (!Matches(name, wanted)) {
      errno = ENOENT;
      return nullptr;
    }
    char *copy = strdup(name);
    if (copy == nullptr) errno = ENOMEM;
    return copy;
  }
  const char *folder = searchPath != nullptr ? searchPath : kDefaultSearchPath;
  for (;;) {
    const char *end = strchrnul(folder, ':');
    char *candidate = Candidate(folder, static_cast<size_t>(end - folder), name);
    if (candidate == nullptr) return nullptr;
    if (Matches(candidate, wanted)) return candidate;
    free(candidate);
    if (*end == '\0') break;
    folder = end + 1;
  }
  errno = ENOENT;
  return nullptr;
}
