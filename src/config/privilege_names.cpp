// The names of the resources that limit sets and of the capabilities that
// capabilities keeps. The capabilities are those of the kernel headers kep is
// built with: a name they lack is unknown to kep.
#include <linux/capability.h>
#include <sys/resource.h>

#include "kep_config.h"

const KepValueName KepLimitNames[] = {
    {RLIMIT_NOFILE, "nofile"}, {RLIMIT_NPROC, "nproc"},     {RLIMIT_CORE, "core"},
    {RLIMIT_AS, "as"},         {RLIMIT_DATA, "data"},       {RLIMIT_STACK, "stack"},
    {RLIMIT_FSIZE, "fsize"},   {RLIMIT_MEMLOCK, "memlock"}, {RLIMIT_CPU, "cpu"},
    {RLIMIT_RTPRIO, "rtprio"}, {RLIMIT_NICE, "nice"},       {-1, nullptr},
};

const KepValueName KepCapabilityNames[] = {
    {CAP_CHOWN, "cap_chown"},
    {CAP_DAC_OVERRIDE, "cap_dac_override"},
    {CAP_DAC_READ_SEARCH, "cap_dac_read_search"},
    {CAP_FOWNER, "cap_fowner"},
    {CAP_FSETID, "cap_fsetid"},
    {CAP_KILL, "cap_kill"},
    {CAP_SETGID, "cap_setgid"},
    {CAP_SETUID, "cap_setuid"},
    {CAP_SETPCAP, "cap_setpcap"},
    {CAP_LINUX_IMMUTABLE, "cap_linux_immutable"},
    {CAP_NET_BIND_SERVICE, "cap_net_bind_service"},
    {CAP_NET_BROADCAST, "cap_net_broadcast"},
    {CAP_NET_ADMIN, "cap_net_admin"},
    {CAP_NET_RAW, "cap_net_raw"},
    {CAP_IPC_LOCK, "cap_ipc_lock"},
    {CAP_IPC_OWNER, "cap_ipc_owner"},
    {CAP_SYS_MODULE, "cap_sys_module"},
    {CAP_SYS_RAWIO, "cap_sys_rawio"},
    {CAP_SYS_CHROOT, "cap_sys_chroot"},
    {CAP_SYS_PTRACE, "cap_sys_ptrace"},
    {CAP_SYS_PACCT, "cap_sys_pacct"},
    {CAP_SYS_ADMIN, "cap_sys_admin"},
    {CAP_SYS_BOOT, "cap_sys_boot"},
    {CAP_SYS_NICE, "cap_sys_nice"},
    {CAP_SYS_RESOURCE, "cap_sys_resource"},
    {CAP_SYS_TIME, "cap_sys_time"},
    {CAP_SYS_TTY_CONFIG, "cap_sys_tty_config"},
    {CAP_MKNOD, "cap_mknod"},
    {CAP_LEASE, "cap_lease"},
    {CAP_AUDIT_WRITE, "cap_audit_write"},
    {CAP_AUDIT_CONTROL, "cap_audit_control"},
    {CAP_SETFCAP, "cap_setfcap"},
    {CAP_MAC_OVERRIDE, "cap_mac_override"},
    {CAP_MAC_ADMIN, "cap_mac_admin"},
    {CAP_SYSLOG, "cap_syslog"},
    {CAP_WAKE_ALARM, "cap_wake_alarm"},
    {CAP_BLOCK_SUSPEND, "cap_block_suspend"},
    {CAP_AUDIT_READ, "cap_audit_read"},
#ifdef CAP_PERFMON
    {CAP_PERFMON, "cap_perfmon"},
#endif
#ifdef CAP_BPF
    {CAP_BPF, "cap_bpf"},
#endif
#ifdef CAP_CHECKPOINT_RESTORE
    {CAP_CHECKPOINT_RESTORE, "cap_checkpoint_restore"},
#endif
    {-1, nullptr},
};
