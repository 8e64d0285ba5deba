#!/usr/bin/env bash
# Supervision on the real kernel, read from the console: the feeder runs as the user guest,
# with a negative nice value and a hard rtprio limit above kep's (both set while the child is
# still root), feeds its watchdog twice (the time-out line counts 2 feeds), stops feeding and is
# stopped and started again; the sleeper is killed (SIGKILL) and started again; SIGTERM through the init
# then stops kep in order.
set -euo pipefail
source "$(dirname "$0")/../../tools/device/lib.sh"
device_test_begin

cat >"$work/kep.conf" <<'CONF'
killDelay 2
killRetries 0
wdTimeout 2
application feeder {
  deathAction restart
  wdEnable
  arg "2"
  user guest
  nice -5
  limit rtprio 10
}
application sleeper {
  deathAction restart
  arg "2000"
}
CONF
device_prepare
device_disk "$work/disk" "$work/kep.conf"
device_boot "$work/disk" "$work/console" kep.stop=12
device_wait "$work/console" "kep-board: halted" 180 || fail "no halt"
count() { grep -cE -- "$1" "$work/console" || true; }
# Each check: a regular expression and how often it must at least match.
while read -r min regex; do
  [ "$(count "$regex")" -ge "$min" ] || fail "fewer than $min lines match: $regex"
done <<'CHECKS'
2 feeder: uid 1000, gid 1000, nice -5, rtprio 10 \(pid
1 KepWdCheck\(\): watchdog timeout: feeder, pid: [0-9]+ \(2, [0-9]+, [0-9]+, [0-9]+, 2\)
1 feeder \(pid [0-9]+\) \*\*\* EXITED \*\*\* exitStatus: -1, signalNum: 15,
2 successfully started feeder\[0\]
1 sleeper \(pid [0-9]+\) \*\*\* EXITED \*\*\* exitStatus: -1, signalNum: 9,
2 successfully started sleeper\[1\]
1 ---- kep stopped ----
CHECKS
[ "$(count "kep-board: reboot")" -eq 0 ] || fail "rebooted"
echo "PASS: a watchdog fed by another user, its time-out and restart, kill and restart, stop in order"
