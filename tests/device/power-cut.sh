#!/usr/bin/env bash
# Power cuts while kep rewrites its reboot-application file on a real file system. On the
# boot-loop configuration kep records a reboot at every boot and removes the record at every
# fourth; the board is killed at a seeded random moment of the 3 s around the write (from the
# reset before the one that becomes a reboot, to the reboot) or the removal, the disk taking
# every guest write at once. After each cut the file system must be clean, and the file must
# hold exactly what kep's last completed write or removal left, as the console shows it
# ("wrote reboot app (crasher, N)." or "removed ..."), or, when the cut fell during a write or
# a removal (its stop reason logged, its completion not), what that one leaves. Nothing else:
# a lost record would be the boot-loop protection gone.
#   power-cut.sh [CUTS [SEED]]   (default 20 cuts, seed 1)
set -euo pipefail
source "$(dirname "$0")/../../tools/device/lib.sh"
cuts=${1:-20}
RANDOM=${2:-1}
device_test_begin
record() { device_cat "$work/disk" /rebootApplicationData >"$work/$1" || rm -f "$work/$1"; }
show() { [ -f "$work/$1" ] && echo "\"$(sed -z 's/\n/\\n/g' "$work/$1" | cat -v)\"" || echo absent; }

device_prepare
device_disk "$work/disk" "$(dirname "$0")/boot-loop.conf"
made=0
boots=0
record old
while [ $made -lt "$cuts" ]; do
  boots=$((boots + 1))
  [ $boots -le $((4 * cuts)) ] || fail "only $made cuts in $boots boots"
  device_boot "$work/disk" "$work/console"
  # Two resets before the reboot, or the two lines of the start that removes the record.
  device_wait "$work/console" '\[Reset\]|app \(crasher, 3\)' 180 2 || fail "boot $boots: no write"
  ms=$((RANDOM % 3000))
  sleep "$((ms / 1000)).$(printf %03d $((ms % 1000)))"
  if kill -0 "$device_pid" 2>/dev/null; then
    device_cut
    made=$((made + 1))
    what="cut $made at +$ms ms"
  else
    device_end 10
    what="boot $boots rebooted before +$ms ms"
  fi
  check=$(device_fsck "$work/disk" 2>&1) || fail "$what: e2fsck -n: $check"
  record new
  # What the console says kep had done: the record as its last completed operation left it,
  # and as an operation begun after that leaves it (kep logs the stop reason before it writes
  # or removes the record).
  left=$(show old) pending= counted=0
  while IFS= read -r line; do
    n=$(sed -n 's/.*app (crasher, \([0-9]*\)).*/\1/p' <<<"$line")
    case $line in
      *"wrote reboot app (crasher, "*) left="\"crasher $n\\n\"" pending= ;;
      *"KepRemoveAppRebootFile(): removed "*) left=absent pending= ;;
      *"read reboot app (crasher, "*) counted=$n ;;
      *"set stop reason to 3 [Reboot]"*) pending="\"crasher $((counted + 1))\\n\"" ;;
      *"set stop reason to "* | *"disabling app (crasher, "*) pending=absent ;;
    esac
  done < <(tr -d '\r' <"$work/console")
  now=$(show new)
  [ "$now" = "$left" ] || [ "$now" = "$pending" ] ||
    fail "$what: $(show old) became $now; the console says $left${pending:+, or $pending}"
  echo "$what: $(show old) -> $now"
  rm -f "$work/old"
  [ ! -f "$work/new" ] || mv "$work/new" "$work/old"
done
echo "PASS: $made cuts in $boots boots, the file system clean and the record whole after each"
