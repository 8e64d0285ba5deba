#!/bin/bash
# The sandbox keeps the machine out of reach: reboot and passwd only record,
# writes to /etc, /var/log and /var/local land in the state folder, COMMAND's
# parent is not pid 1, orphans and signals are handled, and reboot(2) ends only
# the sandbox. Arguments: build folder, source folder. Exit 77: the host forbids
# user namespaces.
set -u
build=${1:?build folder}
source=${2:?source folder}
sandbox=$source/tools/sandbox

work=$(mktemp -d "${TMPDIR:-/tmp}/kep-sandbox-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
state=$work/state
marker=kep-sandbox-test-$$
passed=0
failed=0

check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what" >&2
  fi
}
in_sandbox() { timeout -k 5 60 "$sandbox" "$state" -- "$@"; }
lines_of() { if [ -f "$1" ]; then wc -l < "$1"; else echo 0; fi; }

in_sandbox true 2> "$work/probe.err"
status=$?
if [ "$status" = 77 ]; then
  echo "SKIP: $(cat "$work/probe.err")"
  exit 77
fi
check "a plain run succeeds (status $status, $(cat "$work/probe.err"))" [ "$status" = 0 ]

# Anything about the host that the run must not change.
host_etc_kep=absent
[ -e /etc/kep/x ] && host_etc_kep=$(md5sum < /etc/kep/x)
host_shadow=$(md5sum < /etc/shadow 2>/dev/null)

cat > "$work/inside.sh" <<EOF
echo "ppid=\$PPID"
echo "init=\$(tr '\0' ' ' < /proc/1/cmdline)"
passwd -x -1 root
echo "passwd=\$?"
for dir in /bin /usr/bin /sbin /usr/sbin; do
  [ -e "\$dir/reboot" ] && "\$dir/reboot" from "\$dir"
done
reboot -f
mkdir -p /etc/kep && echo written-inside > /etc/kep/x
echo log > /var/log/$marker
mkdir -p /var/local/zel && echo local > /var/local/zel/$marker
exit 3
EOF
in_sandbox bash "$work/inside.sh" > "$work/out" 2> "$work/err"
status=$?
out=$(cat "$work/out")
check "the command's status comes back (got $status: $(cat "$work/err"))" [ "$status" = 3 ]
check "the command's parent is not pid 1 ($out)" grep -q '^ppid=[0-9]' "$work/out"
check "the command's parent is not pid 1 ($out)" test "$(sed -n 's/^ppid=//p' "$work/out")" != 1
check "pid 1 is the sandbox's init in a fresh /proc" grep -q '^init=.*--sandbox-init' "$work/out"
check "passwd ran (the stub)" grep -qx 'passwd=0' "$work/out"
check "passwd recorded its arguments" grep -qx -- '-x -1 root' "$state/passwd.calls"
check "passwd changed nothing on the host" [ "$host_shadow" = "$(md5sum < /etc/shadow 2>/dev/null)" ]
reboots=$(lines_of "$state/reboot.calls")
check "every reboot call was recorded ($reboots lines)" [ "$reboots" -ge 2 ]
if [ -e /sbin/reboot ]; then
  check "/sbin/reboot recorded" grep -qx 'from /sbin' "$state/reboot.calls"
fi
check "reboot on PATH recorded" grep -qx -- '-f' "$state/reboot.calls"
check "/etc/kep/x lands in the state folder" grep -qx written-inside "$state/etc/kep/x"
if [ "$host_etc_kep" = absent ]; then
  check "/etc/kep/x is not written on the host" [ ! -e /etc/kep/x ]
else
  check "/etc/kep/x on the host is unchanged" [ "$host_etc_kep" = "$(md5sum < /etc/kep/x)" ]
fi
check "/var/log lands in the state folder" [ -f "$state/var/log/$marker" ]
check "/var/log on the host is untouched" [ ! -e "/var/log/$marker" ]
check "/var/local lands in the state folder" [ -f "$state/var/local/zel/$marker" ]
check "/var/local on the host is untouched" [ ! -e "/var/local/zel/$marker" ]

# A second run reuses the state folder, like a device's flash.
check "a second run sees the files of the first" in_sandbox grep -qx written-inside /etc/kep/x

# An orphan keeps the sandbox until it has ended.
in_sandbox bash -c "(sleep 0.5; echo done > /var/log/orphan-$marker) & exit 0"
check "the sandbox waits for orphans" [ -f "$state/var/log/orphan-$marker" ]

# Signals sent to the sandbox's own process reach the command (no process
# group signal: the sandbox passes them on).
for sig in TERM INT HUP; do
  rm -f "$state/var/log/ready"
  "$sandbox" "$state" -- bash -c \
    "trap 'exit 42' $sig; touch /var/log/ready; while :; do sleep 0.05; done" < /dev/null 2> "$work/signal.err" &
  pid=$!
  # A bound with no child process of its own, so that ending it leaves nothing
  # holding the test's output open.
  (read -r -t 60 <> <(:); kill -KILL "$pid") > /dev/null 2>&1 &
  bound=$!
  for _ in $(seq 600); do [ -f "$state/var/log/ready" ] && break; sleep 0.05; done
  kill -s "$sig" "$pid"
  wait "$pid"
  status=$?
  kill "$bound" 2> /dev/null
  check "SIG$sig reaches the command (status $status: $(cat "$work/signal.err"))" [ "$status" = 42 ]
done

# reboot(2) ends the pid namespace only. Called only when the process is
# certainly in a pid namespace other than the host's, so that a broken sandbox
# fails this test instead of restarting the machine.
if command -v python3 > /dev/null; then
  host_ns=$(readlink /proc/self/ns/pid)
  in_sandbox python3 -c '
import ctypes, os, sys
if os.readlink("/proc/self/ns/pid") == sys.argv[1]:
    sys.exit(99)
print("rebooting", flush=True)
ctypes.CDLL(None, use_errno=True).reboot(0x01234567)  # LINUX_REBOOT_CMD_RESTART
print("still here", flush=True)
' "$host_ns" > "$work/reboot.out" 2>&1
  status=$?
  check "reboot(2) ends the sandbox with SIGHUP's status (got $status: $(cat "$work/reboot.out"))" [ "$status" = 129 ]
  check "nothing runs after reboot(2)" [ "$(cat "$work/reboot.out")" = rebooting ]
else
  echo "note: python3 missing, reboot(2) not tried"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
