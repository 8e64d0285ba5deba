// kep-ctl [-t SECONDS] [-f FILE] stop|start|restart NAME... | signal SIG NAME...
#include <stdio.h>

#include "kep_ctl.h"

int main(int argc, char **argv) {
  int status = 2;
  try {
    status = KepCtlMain(argc, argv, stdout, stderr);
  } catch (...) {
    // Only an allocation can fail; what kep did is not known.
    fputs("kep-ctl: out of memory\n", stderr);
    status = 2;
  }
  if (fflush(stdout) != 0 && status < 2) status = 2;
  return status;
}
