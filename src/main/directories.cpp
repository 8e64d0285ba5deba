// kep's working directories. Both functions run before logging is open and
// report on standard error only.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kep_main.h"

namespace {
constexpr const char *kKepDirectories[] = {"/var/local/zel/kep", "/var/local/zel/kep/syncFiles",
                                           "/var/log/kep"};
}

int KepCreateDirectories() {
  for (const char *directory : kKepDirectories) {
    int status = KepMkdirDashP(directory);
    if (status != 0) {
      fprintf(stderr, "%s(): failed creating directory [%s] (status = %i).\n", __func__, directory,
              status);
      return status;
    }
  }
  return 0;
}

int KepMkdirDashP(const char *path) {
  if (path == nullptr) return KEP_ERR_INVALID_ARG;
  if (*path == '\0') return KEP_ERR_EMPTY_PATH;

  char saved[4096];
  if (getcwd(saved, sizeof saved) == nullptr) {
    fprintf(stderr, "%s(): getcwd() failed (errno = %i).\n", __func__, errno);
    return KEP_ERR_GETCWD;
  }
  char *copy = strdup(path);
  if (copy == nullptr) return KEP_ERR_COPY;
  mode_t oldMask = umask(0);

  // Each component is made and entered in turn, so every later one is a single
  // name relative to the one before; a leading slash belongs to the first.
  int status = 0;
  char *component = copy;
  while (*component != '\0') {
    char *slash = strchr(component == copy && *component == '/' ? component + 1 : component, '/');
    if (slash != nullptr) *slash = '\0';
    // World-writable, and sticky so that nobody but the owner (root) can remove
    // or rename an entry: no user can put a link in place of syncFiles or a
    // log file. A folder that exists keeps the mode it has.
    if (mkdir(component, 01777) != 0 && errno != EEXIST) {
      fprintf(stderr, "%s(): mkdir(%s) failed (errno = %i).\n", __func__, component, errno);
      status = KEP_ERR_MKDIR;
      break;
    }
    if (chdir(component) != 0) {
      fprintf(stderr, "%s(): chdir(%s) failed (errno = %i).\n", __func__, component, errno);
      status = KEP_ERR_CHDIR;
      break;
    }
    if (slash == nullptr) break;
    *slash = '/';
    component = slash + 1;
    // Repeated slashes separate like one; an empty name could not be made.
    while (*component == '/') ++component;
  }

  free(copy);
  umask(oldMask);
  if (chdir(saved) != 0) {
    fprintf(stderr, "%s(): chdir(%s) failed (errno = %i).\n", __func__, saved, errno);
    return KEP_ERR_CHDIR;
  }
  return status;
}
