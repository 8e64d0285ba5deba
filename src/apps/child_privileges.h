// Who an application runs as: resolved by kep before the fork, applied by the
// child between fork and execve. Private to the "KepStartApp" unit.
#pragma once

#include <stddef.h>

#include "accounts.h"
#include "kep_config.h"

// What the child applies; it only reads it.
struct KepChildPrivileges {
  const KepAppPrivileges *configured = nullptr;  // null: nothing configured, nothing done
  bool setIds = false;                           // user or group configured: accounts apply
  KepAccounts accounts;
};

// In kep, before the fork: the record's user and group resolved in the user
// and group databases (the child may look nothing up). false when one cannot
// be, logged at level 1 as "KepStartOneApp(): cannot start NAME[INDEX]:
// WHY." (nothing is forked then); true when nothing is configured.
bool KepResolvePrivileges(const KepApp &app, KepChildPrivileges *privileges);

// In the child, after fork, in this order: the supplementary groups, the gid,
// the capabilities kept (all others leave the bounding set; kept across the
// change of uid), the limits, nice, the uid, the capabilities kept made
// ambient (and all others dropped), umask, the working folder,
// no-new-privileges. Limits and nice come before the uid, while raising a
// hard limit or the priority is still allowed. Only system calls and
// formatting into report: safe in a forked child. On the first failure
// writes "CALL failed, errno = N." into report (size bytes) and returns
// false: the child must end without executing the application.
bool KepApplyPrivileges(const KepChildPrivileges &privileges, char *report, size_t size) noexcept;
