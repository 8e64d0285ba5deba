#!/usr/bin/env bash
# The installed tree: `cmake --install` into an empty folder must give the programs, the
# platform libraries, their headers and pkg-config files and the manual pages; a C program
# built against it with `pkg-config --cflags --libs` runs and needs no C++ runtime.
#   install.sh BUILD_DIR HERE CC [EMULATOR...]
# Without an emulator the prefix is the empty folder itself; with one (a cross build) the tree
# is a device's root file system (DESTDIR, prefix /usr) seen through PKG_CONFIG_SYSROOT_DIR, and
# the program runs under the emulator.
set -u
build=$1 here=$2 cc=$3
shift 3
work=$(mktemp -d /tmp/kep-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

if [ $# = 0 ]; then
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1
else
  prefix=$work/rootfs/usr
  DESTDIR=$work/rootfs cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1
  export PKG_CONFIG_SYSROOT_DIR=$work/rootfs
fi || { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
echo "installed:"
(cd "$prefix" && find . -type f | sort | sed "s|^\./|  |")

lib=$(dirname "$(find "$prefix" -name libZelKepLib.so | head -n1)")
for file in sbin/kep sbin/kep-ctl bin/kep-check bin/kep-notify bin/kep-status \
  include/kep/ZelLog.h include/kep/dlog.h include/kep/ZelKepLib.h include/kep/ZelPathfind.h \
  share/man/man8/kep.8 share/man/man8/kep-check.8 share/man/man8/kep-status.8 share/man/man8/kep-ctl.8 \
  share/man/man1/kep-notify.1 share/man/man5/kep.conf.5; do
  [ -f "$prefix/$file" ] || fail "$file not installed"
done
for library in ZelLog dlog ZelKepLib ZelPathfind; do
  [ -f "$lib/lib$library.so" ] || fail "lib$library.so not installed"
done
[ ! -e "$prefix/include/kep/zel_log_testing.h" ] || fail "the test-only header is installed"

export PKG_CONFIG_LIBDIR=$lib/pkgconfig PKG_CONFIG_PATH=
modules=(kep-zellog kep-dlog kep-zelkeplib kep-zelpathfind)
for module in "${modules[@]}"; do
  pkg-config --validate "$module" || fail "$module.pc is not valid"
done
flags=$(pkg-config --cflags --libs "${modules[@]}") || { fail "pkg-config ${modules[*]}"; exit 1; }
echo "pkg-config --cflags --libs ${modules[*]}: $flags"
# shellcheck disable=SC2086  # the flags are words
"$cc" -std=c11 -D_POSIX_C_SOURCE=200809L -Wall -Wextra -Werror -o "$work/link_test" \
  "$here/link_test.c" $flags || { fail "the C program does not build"; exit 1; }

needed=$(readelf -d "$work/link_test" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)
echo "the C program needs: $needed"
for name in $needed; do
  case $name in
    libc.so.* | libZelLog.so | libdlog.so | libZelKepLib.so | libZelPathfind.so) ;;
    *) fail "the C program needs $name (the C library and the platform libraries only)" ;;
  esac
done

mkdir -p "$work/files/var/log/kep"
ZEL_LOG_ROOT=$work/files LD_LIBRARY_PATH=$lib "$@" "$work/link_test" "$work/files" ||
  fail "the C program failed"
grep -q 'logged from C, 42' "$work/files/var/log/kep/link_test.log" 2>/dev/null ||
  fail "nothing in link_test.log"
grep -q 'debug log from C' "$work/files/var/log/dlog.log" 2>/dev/null ||
  fail "nothing in dlog.log"
[ "$failed" = 0 ] && echo PASS
exit "$failed"
