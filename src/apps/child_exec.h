// The child side of an application start. Private to the "KepStartApp" unit.
#pragma once

#include <sys/types.h>

// Runs in the child that KepStartOneApp has forked: umask 022, its own session
// (setsid), default SIGTERM/SIGINT/SIGCHLD, an empty signal mask, only
// descriptors 0, 1 and 2 kept, one sched_yield, then execve(path, argv, envp).
// Diagnostics go to standard error only (never the logging library); name and
// oldPid are shown in them. Ends the child with status 1 when execve returns.
[[noreturn]] void KepExecChild(const char *path, char *const argv[], char *const envp[],
                               const char *name, pid_t oldPid) noexcept;
