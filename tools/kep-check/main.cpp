// kep-check CONFIG: checks a kep configuration file; see check.h.
#include <stdio.h>

#include "check.h"

int main(int argc, char **argv) {
  int status = 1;
  try {
    status = KepCheckMain(argc, argv, stdout, stderr);
  } catch (...) {
    // Only an allocation can fail: the check is incomplete, so not passed.
    fputs("kep-check: out of memory\n", stderr);
    status = 1;
  }
  if (fflush(stdout) != 0) status = status == 0 ? 1 : status;
  return status;
}
