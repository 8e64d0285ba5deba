// kep-status [-k] [-f FILE] [NAME...]: what kep runs, at a glance; see view.h.
#include <stdio.h>

#include "report.h"

int main(int argc, char **argv) {
  int status = 2;
  try {
    status = KepStatusMain(argc, argv, stdout, stderr);
  } catch (...) {
    // Only an allocation can fail: nothing trustworthy was shown.
    fputs("kep-status: out of memory\n", stderr);
    status = 2;
  }
  if (fflush(stdout) != 0 && status < 2) status = 2;
  return status;
}
