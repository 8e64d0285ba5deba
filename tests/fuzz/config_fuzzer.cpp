// libFuzzer target: any input is a configuration file for KepReadConfig, which
// must end with a status of its own.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kep_config.h"

extern "C" void __sanitizer_set_report_fd(void *fd);

namespace {
char configPath[] = "/tmp/kep-config-fuzz-XXXXXX";
int stderrCopy = -1, devNull = -1;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  int fd = mkstemp(configPath);
  if (fd < 0) abort();
  close(fd);
  atexit([] { unlink(configPath); });
  // The reader reports every failing line on standard error; keep that out of
  // the fuzzer's output, but let sanitizer reports through.
  stderrCopy = dup(2);
  devNull = open("/dev/null", O_WRONLY);
  if (stderrCopy >= 0)
    __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(stderrCopy)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fopen(configPath, "wb");
  if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();
  if (devNull >= 0) dup2(devNull, 2);
  const int status = KepReadConfig(configPath);
  fflush(stderr);
  if (stderrCopy >= 0) dup2(stderrCopy, 2);
  if (strcmp(KepErrorCodeMeaning(status), "unknown status") == 0) abort();
  KepDeallocateAppList();
  KepResetSettings();
  return 0;
}
