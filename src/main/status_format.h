// What kep, which writes the status file, and kep-status, which reads it,
// share: where it is, how values are escaped, and how kep's process is told
// from a later one with the same pid.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>

inline constexpr const char *kKepStatusFilePath = "/var/local/zel/kep/status";

// Appends value with every space, control character, '%' and DEL as %XX, so
// that a line splits at spaces and a value at its first '='.
void KepStatusEscape(std::string &out, std::string_view value);

// Reads at most size - 1 bytes of a small /proc file and ends them with a NUL;
// false when it cannot.
bool KepReadProcFile(const std::string &path, char *buffer, size_t size);

// When process pid ("self" or a number) started, in clock ticks after boot;
// 0 when that cannot be read or the process has ended (a zombie).
unsigned long long KepProcStartTicks(const std::string &pid);

// This boot's id; empty when it cannot be read.
std::string KepBootId();
