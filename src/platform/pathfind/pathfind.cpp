// Placeholder until the path-search library lands.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "ZelPathfind.h"

extern "C" char *ZelPathfind(const char *searchPath, const char *name, const char *) {
  if (name == nullptr) return nullptr;
  if (strchr(name, '/') != nullptr) return access(name, X_OK) == 0 ? strdup(name) : nullptr;
  std::string path = searchPath != nullptr ? searchPath : "/bin:/usr/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return strdup(candidate.c_str());
    start = end + 1;
  }
  return nullptr;
}
