#!/bin/bash
# The sandbox keeps the machine out of reach: reboot and passwd only record,
# writes to /etc, /var/log and /var/local land in the state folder, COMMAND's
# parent is not pid 1, SIGTERM is passed on to it, orphans are waited for, and
# reboot(2) ends only the sandbox. Arguments: build folder, source folder.
# Exit 77: the host forbids user namespaces.
set -u
sandbox=${2:?source folder}/tools/sandbox
work=$(mktemp -d "${TMPDIR:-/tmp}/kep-sandbox-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
state=$work/state
marker=kep-sandbox-test-$$
failed=0

check() { "${@:2}" || { failed=1; echo "FAIL: $1" >&2; }; }
in_sandbox() { timeout -k 5 60 "$sandbox" "$state" -- "$@"; }

in_sandbox true 2> "$work/probe.err"
[ $? != 77 ] || { echo "SKIP: $(cat "$work/probe.err")"; exit 77; }

host_etc_kep=$(md5sum /etc/kep/x 2>/dev/null)
host_shadow=$(md5sum /etc/shadow 2>/dev/null)
cat > "$work/inside.sh" <<EOF
echo "ppid=\$PPID"
passwd -x -1 root && echo passwd-ok
[ -e /sbin/reboot ] && /sbin/reboot from-sbin
reboot -f
mkdir -p /etc/kep /var/local/zel && echo written-inside > /etc/kep/x
echo log > /var/log/$marker && echo local > /var/local/zel/$marker && echo run > /run/$marker
exit 3
EOF
in_sandbox bash "$work/inside.sh" > "$work/out" 2> "$work/err"; status=$?
check "the command's status comes back (got $status: $(cat "$work/err"))" [ "$status" = 3 ]
ppid=$(sed -n 's/^ppid=//p' "$work/out")
check "the command's parent is not pid 1 (ppid '$ppid')" [ -n "$ppid" -a "$ppid" != 1 ]
check "passwd ran as a stub" grep -qx passwd-ok "$work/out"
check "passwd recorded its arguments" grep -qx -- '-x -1 root' "$state/passwd.calls"
check "passwd changed nothing on the host" [ "$host_shadow" = "$(md5sum /etc/shadow 2>/dev/null)" ]
[ ! -e /sbin/reboot ] || check "/sbin/reboot recorded" grep -qx from-sbin "$state/reboot.calls"
check "reboot on PATH recorded" grep -qx -- -f "$state/reboot.calls"
check "/etc lands in the state folder" grep -qx written-inside "$state/etc/kep/x"
check "/etc on the host is unchanged" [ "$host_etc_kep" = "$(md5sum /etc/kep/x 2>/dev/null)" ]
for dir in /var/log /var/local/zel /run; do
  check "$dir lands in the state folder" [ -f "$state$dir/$marker" ]
  check "$dir on the host is untouched" [ ! -e "$dir/$marker" ]
done
check "a second run sees the files of the first" in_sandbox grep -qx written-inside /etc/kep/x

# Root's sandbox has other users, so that an application can run as one; anyone else's has root alone.
ids=$(in_sandbox bash -c 'cat /proc/self/uid_map /proc/self/gid_map
  setpriv --reuid 1000 --regid 1000 --clear-groups id -u 2>/dev/null' | xargs)
if [ "$(id -u)" = 0 ]; then
  check "root's sandbox maps 0 to 65535, setuid works (got '$ids')" [ "$ids" = "0 0 65536 0 0 65536 1000" ]
else
  check "the sandbox maps root alone (got '$ids')" [ "$ids" = "0 $(id -u) 1 0 $(id -g) 1" ]
fi

in_sandbox bash -c "(sleep 0.5; echo done > /var/log/orphan-$marker) & exit 0"
check "the sandbox waits for orphans" [ -f "$state/var/log/orphan-$marker" ]
"$sandbox" "$state" -- bash -c 'trap "exit 7" TERM; touch /var/log/ready; for i in {1..300}; do sleep 0.1; done' &
until [ -e "$state/var/log/ready" ] || ! kill -0 $! 2>/dev/null; do sleep 0.1; done
kill -TERM $!
wait $!; status=$?
check "SIGTERM goes on to the command (got $status)" [ "$status" = 7 ]

# reboot(2) ends the pid namespace only. Called only when the process is
# certainly in a pid namespace other than the host's, so that a broken sandbox
# fails this test instead of restarting the machine.
if command -v python3 > /dev/null; then
  in_sandbox python3 -c 'import ctypes, os, sys
if os.readlink("/proc/self/ns/pid") != sys.argv[1]:
    print("rebooting", flush=True)
    ctypes.CDLL(None).reboot(0x01234567)  # LINUX_REBOOT_CMD_RESTART
print("still here")' "$(readlink /proc/self/ns/pid)" > "$work/reboot.out" 2>&1
  status=$?
  check "reboot(2) ends only the sandbox, as SIGHUP (got $status: $(cat "$work/reboot.out"))" \
    [ "$status" = 129 -a "$(cat "$work/reboot.out")" = rebooting ]
else
  echo "note: python3 missing, reboot(2) not tried"
fi
exit $failed
