# Host side of the emulated board, sourced by tools/device/run and the device tests.
# KEP_DEVICE_CACHE: folder of the kernel, the root file system and the disks (build-device);
# KEP_DEVICE_KERNEL, KEP_DEVICE_INITRD: use these instead of building them.
device_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
device_cache=${KEP_DEVICE_CACHE:-$device_root/build-device}

# device_prepare [ROOT_EXTRA]: the kernel (built once) and the root file system.
device_prepare() {
  device_kernel=${KEP_DEVICE_KERNEL:-$("$device_root/tools/device/kernel")}
  device_initrd=${KEP_DEVICE_INITRD:-$("$device_root/tools/device/rootfs" "$@")}
}

# device_disk IMAGE CONFIG: a new ext4 disk that holds CONFIG as kep.conf.
device_disk() {
  local dir
  dir=$(mktemp -d)
  cp "$2" "$dir/kep.conf"
  rm -f "$1"
  truncate -s 16M "$1"
  mke2fs -q -F -t ext4 -L kep-etc -d "$dir" "$1"
  rm -rf "$dir"
}

# device_command IMAGE APPEND: sets device_command to one boot of the board. Every guest write
# reaches the image before the guest learns it is done, as on a disk without a write cache.
device_command() {
  device_command=(qemu-system-ppc -M ppce500 -m 256 -nodefaults -no-reboot
    -kernel "$device_kernel" -initrd "$device_initrd"
    -append "console=ttyS0 rdinit=/init quiet kep.time=$(date +%s) $2"
    -drive "file=$1,format=raw,if=virtio,cache=directsync")
}

# device_boot IMAGE LOG [APPEND]: boots in the background with the console in LOG.
device_boot() {
  : >"$2"
  device_command "$1" "${3:-}"
  "${device_command[@]}" -display none -monitor none -serial "file:$2" &
  device_pid=$!
}

# device_wait LOG REGEX SECONDS [COUNT]: until the console shows COUNT (1) lines matching REGEX;
# fails when the board has ended or the time is up.
device_wait() {
  local end=$((SECONDS + $3))
  until [ "$(grep -cE -- "$2" "$1")" -ge "${4:-1}" ]; do
    kill -0 "$device_pid" 2>/dev/null && [ $SECONDS -lt $end ] || return 1
    sleep 0.05
  done
}

# device_end SECONDS: until the board ends by itself (a reboot); fails, and cuts it, when not.
device_end() {
  local end=$((SECONDS + $1))
  while kill -0 "$device_pid" 2>/dev/null; do
    [ $SECONDS -lt $end ] || { device_cut; return 1; }
    sleep 0.05
  done
  wait "$device_pid" 2>/dev/null || true
  device_pid=
}

# device_test_begin: for a device test, a work folder in $work, removed with the board cut at
# the test's exit; then fail MESSAGE ends the test with the console's last lines.
device_test_begin() {
  work=$(mktemp -d /tmp/kep-device-XXXXXX)
  trap 'device_cut; rm -rf "$work"' EXIT
}
fail() { echo "FAIL: $*"; tail -n 40 "$work/console"; exit 1; }

# device_cut: the power cut.
device_cut() {
  [ -n "${device_pid:-}" ] || return 0
  kill -KILL "$device_pid" 2>/dev/null || true
  wait "$device_pid" 2>/dev/null || true
  device_pid=
}

# device_recover IMAGE: what the next mount does after a cut: replays the journal and frees the
# files deleted while open (e2fsck -p). Any other repair is reported as a failure.
device_recover() {
  local out status=0 usual
  out=$(e2fsck -p "$1" 2>&1) || status=$?
  usual='^e2fsck [0-9]|: (recovering journal|clean,|[0-9]+/[0-9]+ files|(Clearing|Truncating) orphan)'
  if [ "$status" -gt 1 ] || grep -vqE "$usual" <<<"$out"; then
    echo "$out"
    return 1
  fi
}

# device_fsck IMAGE: recovers, then checks everything without changing anything.
device_fsck() { device_recover "$1" && e2fsck -fn "$1"; }

# device_cat IMAGE PATH: the file's exact content (after recovery); fails when it is absent.
device_cat() {
  device_recover "$1" >/dev/null || return 2
  debugfs -R "stat $2" "$1" 2>/dev/null | grep -q '^Inode:' || return 1
  debugfs -R "cat $2" "$1" 2>/dev/null
}
