#!/usr/bin/env bash
# The board's hardware watchdog (the kernel's software watchdog, 3 s) fed by kep: kep keeps the
# board up for several timeouts; stopped with SIGSTOP it feeds no more, and the board resets
# within the timeout; an orderly stop with disableReboot disarms it, and the board stays up.
set -euo pipefail
source "$(dirname "$0")/../../tools/device/lib.sh"
device_test_begin

cat >"$work/kep.conf" <<'CONF'
hwWatchdog "/dev/watchdog"
hwWatchdogTimeout 3
disableReboot
killDelay 2
application sleeper {
  deathAction restart
  arg "600000"
}
CONF
device_prepare
device_disk "$work/disk" "$work/kep.conf"

device_boot "$work/disk" "$work/console" kep.freeze=12
device_wait "$work/console" "feeding /dev/watchdog, timeout 3 s" 120 || fail "no feeding"
fed=$SECONDS
device_wait "$work/console" "kep-board: freezing kep" 60 || fail "reset before kep froze"
[ $((SECONDS - fed)) -ge 6 ] || fail "kep fed the watchdog for less than two timeouts"
frozen=$SECONDS
device_end 20 || fail "still up 20 s after kep froze"
[ $((SECONDS - frozen)) -le 8 ] || fail "reset $((SECONDS - frozen)) s after kep froze, not within 3 s and a margin"
! grep -qF "kep-board: reboot" "$work/console" || fail "a reboot command ran"
echo "frozen kep: the board reset $((SECONDS - frozen)) s after kep stopped feeding its watchdog"

device_boot "$work/disk" "$work/console" "kep.stop=8 kep.linger=8"
device_wait "$work/console" "kep-board: halted" 120 || fail "reset after kep ended"
grep -qF "kep-board: still up 8 s after kep" "$work/console" || fail "reset after kep ended"
grep -qF "KepHwWatchdog(): /dev/watchdog disarmed." "$work/console" || fail "not disarmed"
grep -qF -- "---- kep stopped ----" "$work/console" || fail "kep did not stop in order"
echo "PASS: fed while kep runs, the board reset when kep froze, disarmed by an orderly stop"
