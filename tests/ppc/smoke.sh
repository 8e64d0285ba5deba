#!/usr/bin/env bash
# Smoke test of the cross-built kep under the user-mode emulator, in the
# sandbox: one application starts, dies, is restarted once, and kep stops in
# order on SIGTERM.
#   smoke.sh BUILD_DIR SOURCE_DIR EMULATOR...
set -euo pipefail
build=$1 source=$2
shift 2
emulator=("$@")

if [ "${KEP_SMOKE_INSIDE:-}" != 1 ]; then
  state=$(mktemp -d /tmp/kep-ppc-smoke-XXXXXX)
  trap 'rm -rf "$state"' EXIT
  cat >"$state/crasher" <<'APP'
#!/bin/sh
sleep 1
exit 3
APP
  chmod +x "$state/crasher"
  cat >"$state/smoke.conf" <<CONF
killDelay 2
killRetries 0
application $state/crasher {
  deathAction restart
}
CONF
  set +e
  KEP_SMOKE_INSIDE=1 KEP_SMOKE_STATE=$state timeout 300 \
    "$source/tools/sandbox" "$state/root" -- "$0" "$build" "$source" "${emulator[@]}"
  status=$?
  set -e
  [ "$status" -ne 77 ] || { echo "SKIP: the sandbox cannot run here"; exit 77; }
  [ "$status" -eq 0 ] || { echo "FAIL: sandboxed run ended with $status"; exit 1; }
  echo "PASS"
  exit 0
fi

# Inside the sandbox.
state=$KEP_SMOKE_STATE
dlog=/var/log/dlog.log
"${emulator[@]}" "$build/kep" -c "$state/smoke.conf" -l 40 &
kep=$!
count_starts() { grep -c 'successfully started' "$dlog" 2>/dev/null || true; }
for _ in $(seq 1 600); do
  [ "$(count_starts)" -ge 2 ] && break
  kill -0 "$kep" 2>/dev/null || { echo "FAIL: kep ended early"; cat "$dlog"; exit 1; }
  sleep 0.1
done
[ "$(count_starts)" -ge 2 ] || { echo "FAIL: no restart seen"; cat "$dlog"; exit 1; }
kill -TERM "$kep"
set +e
wait "$kep"
status=$?
set -e
[ "$status" -eq 0 ] || { echo "FAIL: kep exited with $status"; cat "$dlog"; exit 1; }
grep -q -- '---- kep stopped ----' "$dlog" || { echo "FAIL: no closing line"; cat "$dlog"; exit 1; }
grep -q 'EXITED' "$dlog" || { echo "FAIL: the exit was not collected"; cat "$dlog"; exit 1; }
echo "kep under the emulator: started, restarted, stopped in order"
