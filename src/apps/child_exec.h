// The child side of an application start. Private to the "KepStartApp" unit.
#pragma once

#include <sys/types.h>

// Runs in the child that KepStartOneApp has forked: umask 022, its own session
// (setsid), default SIGTERM/SIGINT/SIGCHLD and kepChangedSignals, an empty
// signal mask, only descriptors 0, 1 and 2 kept (and errorFd, close-on-exec),
// one sched_yield, then execve(path, argv, envp). Diagnostics go to standard
// error only (never the logging library); name and oldPid are shown in them.
// When execve returns, its errno is written to errorFd (unless -1) for the
// parent to log, and the child ends with status 1.
[[noreturn]] void KepExecChild(const char *path, char *const argv[], char *const envp[],
                               const char *name, pid_t oldPid, int errorFd) noexcept;
