#!/usr/bin/env bash
# Smoke test of the cross-built kep under the user-mode emulator, in the
# sandbox: one application starts, dies, is restarted once, and kep stops in
# order on SIGTERM.
#   smoke.sh BUILD_DIR SOURCE_DIR EMULATOR...
set -u
build=$1 source=$2
shift 2
if [ "${KEP_SMOKE_STATE:-}" = "" ]; then
  state=$(mktemp -d /tmp/kep-ppc-smoke-XXXXXX)
  trap 'rm -rf "$state"' EXIT
  printf '#!/bin/sh\nsleep 1\nexit 3\n' > "$state/crasher"
  chmod +x "$state/crasher"
  printf 'killDelay 2\nkillRetries 0\napplication %s {\n  deathAction restart\n}\n' \
    "$state/crasher" > "$state/smoke.conf"
  KEP_SMOKE_STATE=$state timeout 300 "$source/tools/sandbox" "$state/root" -- "$0" "$build" "$source" "$@"
  status=$?
  [ "$status" -ne 77 ] || { echo "SKIP: the sandbox cannot run here"; exit 77; }
  [ "$status" -eq 0 ] || { echo "FAIL: sandboxed run ended with $status"; exit 1; }
  echo PASS
  exit 0
fi

# Inside the sandbox.
fail() { echo "FAIL: $*"; cat /var/log/dlog.log; exit 1; }
"$@" "$build/kep" -c "$KEP_SMOKE_STATE/smoke.conf" -l 40 &
kep=$!
starts() { cat /var/log/dlog.log 2>/dev/null | grep -c 'successfully started'; }
for _ in $(seq 1 600); do
  [ "$(starts)" -ge 2 ] && break
  kill -0 "$kep" 2>/dev/null || fail "kep ended early"
  sleep 0.1
done
kill -TERM "$kep"
wait "$kep" || fail "kep exited with $?"
[ "$(starts)" -ge 2 ] || fail "no restart seen"
grep -q -- '---- kep stopped ----' /var/log/dlog.log || fail "no closing line"
echo "kep under the emulator: started, restarted, stopped in order"
