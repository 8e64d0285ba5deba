// The child side of an application start. Private to the "KepStartApp" unit.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "child_privileges.h"

// The most a child's report takes in the pipe; written with one write(2),
// which a pipe never splits below PIPE_BUF.
inline constexpr size_t kKepChildReportSize = 512;

// Runs in the child that KepStartOneApp has forked: umask 022, its own session
// (setsid), default SIGTERM/SIGINT/SIGCHLD and changedSignals, an empty
// signal mask, only descriptors 0, 1 and 2 kept (and reportFd, close-on-exec),
// the configured privileges (KepApplyPrivileges), one sched_yield, then
// execve(path, argv, envp). Diagnostics go to standard error only (never the
// logging library); name and oldPid are shown in them. When a privilege step
// fails ("setgid(1000) failed, errno = 1.") or execve returns ("execve(PATH)
// returned, errno = N."), the report is written to reportFd (unless -1) for
// the parent to log, before standard error gets it: a standard error that
// nobody reads must not hold it back. Writes to standard error give up after
// a second. The child then ends with status 1, never running the application
// with only part of its privileges dropped.
[[noreturn]] void KepExecChild(const char *path, char *const argv[], char *const envp[],
                               const char *name, pid_t oldPid, int reportFd,
                               const sigset_t &changedSignals,
                               const KepChildPrivileges &privileges) noexcept;
