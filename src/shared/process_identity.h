// Telling one process from another across pid reuse, from /proc: a process is
// its pid, its start time in clock ticks after boot, and the boot id.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <string>

// Reads at most size - 1 bytes of a small /proc file and ends them with a NUL;
// false when it cannot.
bool KepReadProcFile(const std::string &path, char *buffer, size_t size);

// When process pid ("self" or a number) started, in clock ticks after boot;
// 0 when that cannot be read or the process has ended (a zombie).
unsigned long long KepProcStartTicks(const std::string &pid);

// This boot's id; empty when it cannot be read.
std::string KepBootId();

// How many live processes (zombies not counted) are in process group pgid.
// Walks /proc; 0 when there are none or /proc cannot be read.
unsigned KepProcGroupMembers(pid_t pgid);

// The pid, as this process sees it, of the process that started at start
// ticks after boot and had pid as its innermost pid (seen from a pid
// namespace of its own, a sandbox); 0 when it no longer runs. With start 0
// (unknown) the pid alone decides.
long KepFindProcess(long pid, unsigned long long start);
