// kep-check CONFIG: checks a kep configuration file; see check.h.
#include <stdio.h>

#include "check.h"

int main(int argc, char **argv) {
  int status = KepCheckMain(argc, argv, stdout, stderr);
  fflush(stdout);
  return status;
}
