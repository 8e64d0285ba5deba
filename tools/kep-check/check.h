// kep-check: reads a kep configuration with kep's own reader, reports what it
// read, warns about configurations that read fine but cannot work as meant,
// and tells how long a stop of all applications can take.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "kep_config.h"

// "application NAME (line N)" for the record at position in the model, with
// the line of its block (or line when given); without it when not known.
std::string KepCheckLabel(const KepApp &app, size_t position,
                          const std::vector<KepReadNotes::Block> &lines, uint32_t line = 0);

// The users and groups of the model's applications that cannot be resolved,
// one error each: in the running system's databases when root is empty, else
// in root/etc/passwd and root/etc/group. Applications are taken to run under
// a kep that runs as root.
std::vector<std::string> KepCheckAccounts(const KepReadNotes &notes, const std::string &root);

// The warnings about the configuration held in the model (settings and
// application list), each naming the application and, where the notes of the
// read know it, the line. searchPath is the PATH the executables are looked up
// in (null: unset).
std::vector<std::string> KepCheckWarnings(const KepReadNotes &notes, const char *searchPath);

// The worst-case time of a stop of all applications of the model, in half
// seconds (see the help text and the definition).
uint64_t KepCheckWorstStopHalfSeconds();

// Half seconds as seconds: "66" or "66.5".
std::string KepCheckSeconds(uint64_t halfSeconds);

// The whole tool: argv as given to main; the report goes to out, usage errors
// to err. Returns the exit status: 0 valid, 1 invalid (also for a user or
// group that cannot be resolved), 2 usage error.
int KepCheckMain(int argc, char **argv, FILE *out, FILE *err);
