// libFuzzer target: any input is a configuration file for KepReadConfig.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "kep_config.h"

extern "C" void __sanitizer_set_report_fd(void *fd);

namespace {

std::string configPath;
int stderrCopy = -1;
int devNull = -1;

// Writes the whole input to the configuration file, replacing what it held.
bool WriteConfig(const uint8_t *data, size_t size) {
  int fd = open(configPath.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) return false;
  bool ok = true;
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written <= 0) {
      ok = false;
      break;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  close(fd);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char templ[] = "/tmp/kep-config-fuzz-XXXXXX";
  int fd = mkstemp(templ);
  if (fd < 0) abort();
  close(fd);
  configPath = templ;
  atexit([] { unlink(configPath.c_str()); });
  // The reader reports every failing line on standard error; keep that out of
  // the fuzzer's output, but let sanitizer reports through.
  stderrCopy = dup(2);
  devNull = open("/dev/null", O_WRONLY);
  if (stderrCopy >= 0)
    __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(stderrCopy)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!WriteConfig(data, size)) abort();
  if (devNull >= 0) dup2(devNull, 2);
  KepReadConfig(configPath.c_str());
  fflush(stderr);
  if (stderrCopy >= 0) dup2(stderrCopy, 2);
  KepDeallocateAppList();
  KepResetSettings();
  return 0;
}
