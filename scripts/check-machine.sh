#!/usr/bin/env bash
# Checks, before anything is built, that this machine has what the test
# presets need beyond the packages themselves: the cross compilers, Wine
# able to run, the fuzzing runtime, room on disk. Each missing piece is one
# line that says which preset needs it and what to do; the exit code is 1 if
# anything is missing.
set -uo pipefail
cd "$(dirname "$0")/.."

problems=0
need() {  # need PRESET WHAT TEST...
  local preset=$1 what=$2
  shift 2
  if ! "$@" >/dev/null 2>&1; then
    echo "error: the $preset preset needs $what" >&2
    problems=$((problems + 1))
  fi
}
have() { command -v "$1"; }

need windows "the MinGW-w64 compiler x86_64-w64-mingw32-g++-posix (Debian: g++-mingw-w64-x86-64-posix)" have x86_64-w64-mingw32-g++-posix
need windows "x86_64-w64-mingw32-objdump and -windres (Debian: binutils-mingw-w64-x86-64)" \
  bash -c 'command -v x86_64-w64-mingw32-objdump && command -v x86_64-w64-mingw32-windres'
need windows "GoogleTest's sources in /usr/src/googletest (Debian: googletest)" test -f /usr/src/googletest/CMakeLists.txt
need windows "Wine: /usr/lib/wine/wine64 and wineserver (Debian: wine64)" \
  test -x /usr/lib/wine/wine64 -a -x /usr/lib/wine/wineserver
need windows "Wine to run: '/usr/lib/wine/wine64 --version' failed" /usr/lib/wine/wine64 --version
need windows "flock (Debian: util-linux) to share the Wine prefix between tests" have flock
need macos-cross "clang++-14 (Debian: clang-14)" have clang++-14
need macos-cross "ld64.lld-14 (Debian: lld-14)" have ld64.lld-14
need macos-cross "llvm-nm-14 and llvm-objdump-14 (Debian: llvm-14)" \
  bash -c 'command -v llvm-nm-14 && command -v llvm-objdump-14'
need macos-cross "llvm-lipo-14, to join the x86-64 and arm64 code (Debian: llvm-14)" have llvm-lipo-14
need macos-cross "libc++'s headers (Debian: libc++-14-dev)" test -d /usr/lib/llvm-14/include/c++/v1
need arm64-linux "clang-14 and ld.lld-14 (Debian: clang-14 lld-14)" \
  bash -c 'command -v clang++-14 && command -v clang-14 && command -v ld.lld-14'
need arm64-linux "the aarch64 C library and libstdc++ in /usr/aarch64-linux-gnu (Debian: g++-aarch64-linux-gnu)" \
  bash -c 'test -f /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 && ls /usr/lib/gcc-cross/aarch64-linux-gnu/*/libstdc++.so'
need arm64-linux "qemu-aarch64-static to run its tests (Debian: qemu-user-static)" have qemu-aarch64-static
need arm64-linux "GoogleTest's sources in /usr/src/googletest (Debian: googletest)" test -f /usr/src/googletest/CMakeLists.txt
need fuzz "libFuzzer's runtime for clang 14 (Debian: libclang-rt-14-dev)" \
  bash -c 'ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'

need release "Debian's /usr/bin/python3 with numpy, pytest and OpenImageIO's bindings (Debian: python3-numpy python3-pytest python3-openimageio)" \
  /usr/bin/python3 -c 'import numpy, pytest, OpenImageIO'
need release "Slurm's and munge's daemons for the farm test (Debian: slurm-wlm munge)" \
  test -x /usr/sbin/slurmctld -a -x /usr/sbin/slurmd -a -x /usr/sbin/munged
need release "root, to start the farm test's one-node Slurm cluster and install the Debian package (run make test as root, as CI does)" \
  test "$(id -u)" -eq 0
need release "help2man, lintian, dpkg-shlibdeps, man and bash-completion for the Debian package (Debian: help2man lintian dpkg-dev man-db bash-completion)" \
  bash -c 'command -v help2man && command -v lintian && command -v dpkg-shlibdeps && command -v man && test -f /usr/share/bash-completion/bash_completion'
need release "unshare (Debian: util-linux), to check the installed package with the build tree hidden" have unshare

# The presets' build trees take about 3 GB together.
free_kb=$(df -Pk . | awk 'NR == 2 { print $4 }')
if [[ -n "$free_kb" && "$free_kb" -lt $((4 * 1024 * 1024)) ]]; then
  echo "error: the build needs about 4 GiB free in $(pwd); $((free_kb / 1024)) MiB are" >&2
  problems=$((problems + 1))
fi

if ((problems > 0)); then
  echo "error: $problems thing(s) missing for the tests; 'make deps' installs the Debian packages" >&2
  exit 1
fi
echo "Machine checked: compilers, Wine, qemu-user, libFuzzer, Python, Slurm, the Debian package tools and disk space are there for every preset"
