// kep-check: reads a kep configuration with kep's own reader, reports what it
// read, warns about configurations that read fine but cannot work as meant,
// and tells how long a stop of all applications can take.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// The lines of one application block of a valid file; 0 where there is none.
struct KepCheckAppLines {
  uint32_t application = 0;         // the line of its "application" keyword
  uint32_t deathMonitorAction = 0;  // the line of its last deathMonitorAction
};

// A flag keyword followed by a word that is not a note: the word is ignored.
struct KepCheckIgnoredWord {
  int app = -1;  // the block it is in, counting from 0; -1 in global scope
  uint32_t line = 0;
  std::string keyword;
  std::string word;
};

// What the checks need from the file itself: where things are.
struct KepCheckScan {
  std::vector<KepCheckAppLines> apps;  // the blocks, in file order
  std::vector<KepCheckIgnoredWord> ignoredWords;
};

// Scans the file at path, counting lines as the reader does (399-character
// pieces). Empty when it cannot be read.
KepCheckScan KepCheckScanFile(const char *path);

// The warnings about the configuration held in the model (settings and
// application list), each naming the application and, where the scan knows
// it, the line. searchPath is the PATH the executables are looked up in
// (null: unset).
std::vector<std::string> KepCheckWarnings(const KepCheckScan &scan, const char *searchPath);

// The worst-case time of a stop of all applications of the model, in half
// seconds (see the help text and the definition).
uint64_t KepCheckWorstStopHalfSeconds();

// Half seconds as seconds: "66" or "66.5".
std::string KepCheckSeconds(uint64_t halfSeconds);

// The whole tool: argv as given to main; the report goes to out, usage errors
// to err. Returns the exit status: 0 valid, 1 invalid, 2 usage error.
int KepCheckMain(int argc, char **argv, FILE *out, FILE *err);
