// The user, limits and capabilities of an application: looked up in kep,
// applied in the forked child with plain system calls only.
#include "child_privileges.h"

#include <errno.h>
#include <grp.h>
#include <linux/capability.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ZelLog.h"
#include "kep_start_app.h"

namespace {

// Capability numbers fit a 64-bit set; the kernel knows those it can read.
constexpr int kKepMaxCapabilities = 64;

__attribute__((format(printf, 3, 4))) bool KepFailed(char *report, size_t size, const char *format,
                                                     ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(report, size, format, args);
  va_end(args);
  return false;
}

const char *KepCapability(int capability) {
  return KepValueToName(KepCapabilityNames, capability, 0);
}

bool KepKept(uint64_t kept, int capability) { return (kept >> capability & 1) != 0; }

// prctl reads its arguments as unsigned long, and some options insist that the
// unused ones be 0.
int KepPrctl(int option, unsigned long second, unsigned long third = 0) {
  return prctl(option, second, third, 0UL, 0UL);
}

// Every capability not kept leaves the bounding set, so that no later execve
// (of a set-user-id program, say) gives it back; those kept survive the
// change of uid in the permitted set.
bool KepKeepCapabilities(uint64_t kept, char *report, size_t size) {
  for (int c = 0; c < kKepMaxCapabilities && KepPrctl(PR_CAPBSET_READ, c) >= 0; ++c) {
    if (!KepKept(kept, c) && KepPrctl(PR_CAPBSET_DROP, c) != 0)
      return KepFailed(report, size, "prctl(PR_CAPBSET_DROP, %s) failed, errno = %i.",
                       KepCapability(c), errno);
  }
  if (KepPrctl(PR_SET_KEEPCAPS, 1) != 0)
    return KepFailed(report, size, "prctl(PR_SET_KEEPCAPS) failed, errno = %i.", errno);
  return true;
}

// Only the capabilities kept stay, and as ambient ones they survive the
// execve of a program without file capabilities run by a user other than root.
bool KepRaiseAmbient(uint64_t kept, char *report, size_t size) {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  for (int word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
    const uint32_t bits = static_cast<uint32_t>(kept >> (32 * word));
    data[word] = {bits, bits, bits};
  }
  if (syscall(SYS_capset, &header, data) != 0)
    return KepFailed(report, size, "capset() failed, errno = %i.", errno);
  for (int c = 0; c < kKepMaxCapabilities; ++c) {
    if (KepKept(kept, c) && KepPrctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, c) != 0)
      return KepFailed(report, size, "prctl(PR_CAP_AMBIENT_RAISE, %s) failed, errno = %i.",
                       KepCapability(c), errno);
  }
  return true;
}

const char *KepLimitText(uint64_t value, char (&text)[24]) {
  if (value == kKepUnlimited) return "unlimited";
  snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  return text;
}

bool KepSetLimits(const std::vector<KepLimit> &limits, char *report, size_t size) {
  for (const KepLimit &limit : limits) {
    struct rlimit value = {limit.soft == kKepUnlimited ? RLIM_INFINITY : limit.soft,
                           limit.hard == kKepUnlimited ? RLIM_INFINITY : limit.hard};
    if (setrlimit(limit.resource, &value) == 0) continue;
    char soft[24], hard[24];
    return KepFailed(report, size, "setrlimit(%s, %s, %s) failed, errno = %i.",
                     KepValueToName(KepLimitNames, limit.resource, 0),
                     KepLimitText(limit.soft, soft), KepLimitText(limit.hard, hard), errno);
  }
  return true;
}

// The steps up to the change of uid, while the child is still kep's root.
bool KepApplyAsKep(const KepChildPrivileges &p, char *report, size_t size) {
  const KepAppPrivileges &c = *p.configured;
  const KepAccounts &a = p.accounts;
  if (p.setIds && setgroups(a.groups.size(), a.groups.data()) != 0)
    return KepFailed(report, size, "setgroups(%u) failed, errno = %i.",
                     static_cast<unsigned>(a.groups.size()), errno);
  if (p.setIds && setgid(a.gid) != 0)
    return KepFailed(report, size, "setgid(%u) failed, errno = %i.", static_cast<unsigned>(a.gid),
                     errno);
  if (c.capabilities && !KepKeepCapabilities(*c.capabilities, report, size)) return false;
  if (!KepSetLimits(c.limits, report, size)) return false;
  if (c.nice && setpriority(PRIO_PROCESS, 0, *c.nice) != 0)
    return KepFailed(report, size, "setpriority(%i) failed, errno = %i.", static_cast<int>(*c.nice),
                     errno);
  return true;
}

}  // namespace

bool KepResolvePrivileges(const KepApp &app, KepChildPrivileges *privileges) {
  const KepAppPrivileges &configured = app.privileges;
  *privileges = KepChildPrivileges{};
  if (!configured.Configured()) return true;
  privileges->configured = &configured;
  if (!configured.user && !configured.group) return true;
  privileges->setIds = true;
  std::string problem;
  if (KepResolveAccounts(configured.user ? configured.user->c_str() : nullptr,
                         configured.group ? configured.group->c_str() : nullptr, getuid(), "",
                         &privileges->accounts, &problem)) {
    return true;
  }
  Log_Msg(LOG_MSG_ERROR, 0, kKepStartAppUnit, "%s(): cannot start %s[%u]: %s.", "KepStartOneApp",
          app.name.c_str(), app.index, problem.c_str());
  return false;
}

bool KepApplyPrivileges(const KepChildPrivileges &p, char *report, size_t size) noexcept {
  if (p.configured == nullptr) return true;
  const KepAppPrivileges &c = *p.configured;
  if (!KepApplyAsKep(p, report, size)) return false;
  if (p.setIds && p.accounts.setUid && setuid(p.accounts.uid) != 0)
    return KepFailed(report, size, "setuid(%u) failed, errno = %i.",
                     static_cast<unsigned>(p.accounts.uid), errno);
  if (c.capabilities && !KepRaiseAmbient(*c.capabilities, report, size)) return false;
  if (c.umask) umask(static_cast<mode_t>(*c.umask));
  if (c.workDir && chdir(c.workDir->c_str()) != 0)
    return KepFailed(report, size, "chdir(%s) failed, errno = %i.", c.workDir->c_str(), errno);
  if (c.noNewPrivileges != 0 && KepPrctl(PR_SET_NO_NEW_PRIVS, 1) != 0)
    return KepFailed(report, size, "prctl(PR_SET_NO_NEW_PRIVS) failed, errno = %i.", errno);
  return true;
}
