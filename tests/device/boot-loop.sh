#!/usr/bin/env bash
# Boot loop across real reboots of the emulated board. With the death monitor on, the third
# reset in a row caused by the crasher becomes a reboot, recorded on the disk as "crasher N";
# the board restarts, and after three recorded reboots the next start disables the crasher,
# removes the file and supervises the sleeper; SIGTERM through the init then stops kep in
# order, without a reboot.
set -euo pipefail
source "$(dirname "$0")/../../tools/device/lib.sh"
device_test_begin

device_prepare
device_disk "$work/disk" "$(dirname "$0")/boot-loop.conf"
for n in 1 2 3; do
  device_boot "$work/disk" "$work/console"
  device_end 180 || fail "boot $n: no reboot"
  grep -qF "RESET -> REBOOT, app: crasher." "$work/console" || fail "boot $n: no escalation"
  record=$(device_cat "$work/disk" /rebootApplicationData) || fail "boot $n: no record"
  [ "$record" = "crasher $n" ] || fail "boot $n: the record is [$record]"
  echo "boot $n: rebooted, the disk holds \"$record\""
done

device_boot "$work/disk" "$work/console" kep.stop=5
device_wait "$work/console" "kep-board: halted" 120 || fail "boot 4: no halt"
for line in "main(): disabling app (crasher, 3)." "successfully started sleeper[1]" \
  "---- kep stopped ----"; do
  grep -qF -- "$line" "$work/console" || fail "boot 4: no \"$line\""
done
! grep -qF "kep-board: reboot" "$work/console" || fail "boot 4: rebooted"
! grep -qF "successfully started crasher" "$work/console" || fail "boot 4: crasher started"
! device_cat "$work/disk" /rebootApplicationData >/dev/null || fail "boot 4: the record stays"
echo "boot 4: crasher disabled, record removed, sleeper supervised; stopped in order"
echo "PASS"
