# shellcheck shell=bash
# The Debian 12 packages that tools/demo and tools/test-all need, in one place, and the set-up
# step that installs what is missing. Sourced, not run.
#
# One line a package: its name, what shows that it is there (a command, or a file in which * may
# stand), the uses that need it, and why. Uses: demo (tools/demo) and the stages of
# tools/test-all (native, asan, ppc, fuzz, device). A probe too long for its column stands alone
# on its line, the rest following on the next.
kep_package_table=$(
  cat <<'EOF'
cmake                 cmake                               demo,native,asan,ppc,fuzz,device  builds kep
make                  make                                demo,native,asan,ppc,fuzz,device  runs the build
g++                   g++                                 demo,native,asan,device           the C++ compiler
util-linux            unshare                             demo,native,ppc                   unshare, which tools/sandbox is made of
mount                 mount                               demo,native,ppc                   mount, for the sandbox's folders
libgtest-dev          /usr/include/gtest/gtest.h          native,asan                       GoogleTest: the unit, simulated and end-to-end tests
googletest            /usr/src/googletest/CMakeLists.txt  ppc,device                        GoogleTest's source, built for PowerPC
libbenchmark-dev      /usr/include/benchmark/benchmark.h  native                            Google Benchmark, so that bench/ keeps building
pkgconf               pkg-config                          native,ppc                        pkg-config, for the test of the installed tree
man-db                man                                 native                            man, to check the manual pages
python3               python3                             native                            the sandbox test calls reboot(2) through it
clang                 clang++                             fuzz                              the compiler of the fuzzing build
libclang-rt-14-dev    /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a
                                                          fuzz                              libFuzzer
g++-powerpc-linux-gnu powerpc-linux-gnu-g++               ppc,device                        the cross compiler for the device
qemu-user             qemu-ppc                            ppc                               qemu-ppc, which runs the PowerPC tests
qemu-system-ppc       qemu-system-ppc                     device                            the emulated PowerPC board
linux-source-6.1      /usr/src/linux-source-6.1.tar.xz    device                            the board's kernel
flex                  flex                                device                            builds the kernel
bison                 bison                               device                            builds the kernel
bc                    bc                                  device                            builds the kernel
libelf-dev            /usr/include/libelf.h               device                            builds the kernel
libssl-dev            /usr/include/openssl/ssl.h          device                            builds the kernel
xz-utils              xz                                  device                            unpacks the kernel source
cpio                  cpio                                device                            packs the board's root file system
e2fsprogs             debugfs                             device                            makes and reads the board's disk
EOF
)

# The table, one package a line: 1 name, 2 probe, 3 uses, 4... why.
kep_table_lines() {
  awk '/^[^ ]/ && NF == 2 { name = $1; probe = $2; next }
       /^ / { $0 = name " " probe " " $0 }
       { print }' <<<"$kep_package_table"
}

# kep_packages USE...: the packages that these uses need, in table order, each once.
kep_packages() {
  kep_table_lines | awk -v want=" $* " '{
    n = split($3, uses, ",")
    for (i = 1; i <= n; i++) if (index(want, " " uses[i] " ")) { print $1; next }
  }'
}

# kep_why PACKAGE: what the package is needed for.
kep_why() {
  kep_table_lines | awk -v p="$1" '$1 == p { $1 = $2 = $3 = ""; sub(/^ +/, ""); print }'
}

# kep_missing PACKAGE...: those whose command or file is not there.
kep_missing() {
  local package probe
  for package; do
    probe=$(kep_table_lines | awk -v p="$package" '$1 == p { print $2 }')
    if [[ $probe == /* ]]; then
      compgen -G "$probe" >/dev/null || echo "$package"
    else
      command -v "$probe" >/dev/null || echo "$package"
    fi
  done
}

kep_list() { for package; do printf '  %-22s %s\n' "$package" "$(kep_why "$package")"; done; }

# kep_install TOOL PACKAGE...: installs the packages with apt-get (the package lists are updated
# first, once per run), saying which and why. apt-get's output is shown only when it fails; the
# status is its status.
kep_apt_updated=0
kep_install() {
  local tool=$1 log status=0
  shift
  echo "$tool: installing with apt-get what it needs and this machine lacks:"
  kep_list "$@"
  log=$(mktemp)
  if [ "$kep_apt_updated" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update >"$log" 2>&1 || status=$?
    kep_apt_updated=1
  fi
  if [ "$status" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" \
      >>"$log" 2>&1 || status=$?
  fi
  [ "$status" = 0 ] || { tail -n 20 "$log"; echo "$tool: apt-get failed ($status)"; }
  rm -f "$log"
  return "$status"
}

# kep_setup TOOL NEEDED [OPTIONAL]: makes sure that the packages of the space-separated lists
# NEEDED and OPTIONAL are there, before anything else is done. As root it installs what is
# missing; as another user it prints the one command that would, and returns 2. Returns 0 when
# everything is there, 1 when NEEDED packages could not be installed, 3 when only OPTIONAL ones
# could not (they are then in kep_not_installed). With KEP_SKIP_SETUP=1 it only says what is
# missing and returns 0.
kep_not_installed=
kep_setup() {
  local tool=$1 needed optional missing
  read -ra needed <<<"$2"
  read -ra optional <<<"${3:-}"
  missing=$(kep_missing "${needed[@]}" "${optional[@]}" | xargs)
  [ -n "$missing" ] || return 0
  if [ "${KEP_SKIP_SETUP:-0}" = 1 ]; then
    echo "$tool: KEP_SKIP_SETUP=1, so these stay missing: $missing"
    return 0
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "$tool needs these Debian packages, which this machine lacks:"
    # shellcheck disable=SC2086  # a list of package names
    kep_list $missing
    echo "Install them with this command, then run $tool again:"
    echo "sudo apt-get install -y --no-install-recommends $missing"
    return 2
  fi
  if ! command -v apt-get >/dev/null; then
    echo "$tool: no apt-get here: install $missing (Debian's names) or their like yourself"
    return 1
  fi
  missing=$(kep_missing "${needed[@]}" | xargs)
  if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    kep_install "$tool" $missing || return 1
    # shellcheck disable=SC2086
    missing=$(kep_missing $missing | xargs)
    [ -z "$missing" ] || { echo "$tool: still missing after apt-get: $missing"; return 1; }
  fi
  missing=$(kep_missing "${optional[@]}" | xargs)
  if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    kep_install "$tool" $missing
    # shellcheck disable=SC2086
    kep_not_installed=$(kep_missing $missing | xargs)
    [ -z "$kep_not_installed" ] || return 3
  fi
  return 0
}
