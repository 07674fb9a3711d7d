#!/usr/bin/env bash
# The Debian package, built from this build tree with cpack and installed
# with apt on this machine (root: CI runs the tests on a clone made for
# them). lintian finds no error in it; installed, with the source and build
# tree hidden, the program renders the build tree's bits from any folder,
# the Python module renders the program's, the man page and bash completion
# work, and farm slurm's job script calls the installed program; removed
# with --purge, it leaves none of its files. The package is removed however
# the test ends; a veilshadow package that was there before is left alone
# and the test refuses to run.
#   deb_package_test.sh SOURCE_DIR CPACK_CONFIG BUILD_TREE_PROGRAM
set -euo pipefail
source_dir=$(realpath "$1") cpack_config=$2 build_program=$3
package=veilshadow
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
package_status() { dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || echo not-installed; }

(($(id -u) == 0)) || fail "installing the package with apt needs root (run make test as root, as CI does)"
status=$(package_status)
[[ $status == not-installed ]] ||
  fail "a $package package is on this machine already ($status); the test installs and removes its own," \
    "so it leaves that one alone: remove it (apt-get remove --purge $package) and run the test again"

scratch=$(mktemp -d /tmp/veilshadow-deb.XXXXXX)
[[ $scratch/ != "$source_dir"/* ]] || fail "$scratch is inside $source_dir, which the test hides"
cleanup() {
  local rc=$?
  if [[ $(package_status) != not-installed ]]; then
    echo "removing $package"
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "$package" >/dev/null || {
      echo "FAIL: apt-get remove --purge $package failed: remove it by hand" >&2
      rc=1
    }
  fi
  rm -rf "$scratch"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# ---- The package ----------------------------------------------------------
version=$("$build_program" --version | awk '{ print $2 }')
deb=$scratch/cpack/${package}_${version}_$(dpkg --print-architecture).deb
cpack --config "$cpack_config" -B "$scratch/cpack" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log"
  fail "cpack failed"
}
[[ -f $deb ]] || fail "cpack wrote no $deb: $(ls "$scratch/cpack")"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb"

lintian_rc=0
lintian --fail-on error "$deb" >"$scratch/lintian.txt" 2>&1 || lintian_rc=$?
echo "lintian ($(wc -l <"$scratch/lintian.txt") lines):"
cat "$scratch/lintian.txt"
((lintian_rc == 0)) && ! grep -q '^E: ' "$scratch/lintian.txt" || fail "lintian reports errors"

# Exactly these files, none of them in /usr/bin but the program.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
python_dir=/usr/lib/python3/dist-packages/veilshadow
extension=$(basename "$(ls "$(dirname "$build_program")"/../python/veilshadow/_veilshadow*.so)")
expected=(/usr/bin/veilshadow "/usr/lib/$multiarch/veilshadow/OrvaneVeilShadow.so"
  "/usr/lib/$multiarch/veilshadow/veilshadow-general.so" "$python_dir/__init__.py"
  "$python_dir/$extension" /usr/share/bash-completion/completions/veilshadow
  /usr/share/doc/veilshadow/changelog.gz /usr/share/doc/veilshadow/copyright /usr/share/man/man1/veilshadow.1.gz)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort)
[[ $files == "$(printf '%s\n' "${expected[@]}" | sort)" ]] || fail "the package holds"$'\n'"$files"

# Every library a binary needs is in Depends, by the package that has it.
# ldd prints most libraries as "NAME => PATH (0x...)", but the loader by its
# path alone ("/lib64/ld-linux-x86-64.so.2 (0x...)").
library_path() {
  local listing
  listing=$(ldd "$1") || return 1
  # awk reads the whole listing (no early exit, which could stop ldd with
  # SIGPIPE half-way through its output).
  awk -v l="$2" '!found && $1 == l && $2 == "=>" { print $3; found = 1 }
    !found && $1 ~ /^\// { n = split($1, part, "/"); if (part[n] == l) { print $1; found = 1 } }' <<<"$listing"
}
# The one package that holds FILE. /lib is /usr/lib and /lib64 holds a link:
# dpkg knows a file only by the path its package names, so each spelling of
# it is asked for by its exact path (a path with no wildcard matches only
# itself), and a file that two packages share is an error.
owner_of() {
  local path=$1 real candidate owners
  real=$(readlink -f "$path")
  for candidate in "$path" "/usr${path#/usr}" "${path#/usr}" "$real" "${real#/usr}"; do
    owners=$(dpkg-query -S "$candidate" 2>/dev/null | sed -n "s|^\([^ ]*\): ${candidate}\$|\1|p")
    [[ -n $owners ]] && break
  done
  [[ -n $owners && $owners != *,* && $owners != *$'\n'* ]] || return 1
  echo "${owners%%:*}"
}
loader=$(owner_of /lib64/ld-linux-x86-64.so.2) && [[ $loader == libc6 ]] ||
  fail "the loader's package is '$loader', not libc6"
depends=$(dpkg-deb -f "$deb" Depends)
mkdir "$scratch/root"
dpkg-deb -x "$deb" "$scratch/root"
for binary in "${expected[@]:0:5}"; do
  [[ $binary == *.py ]] && continue
  for library in $(readelf -d "$scratch/root$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    path=$(library_path "$scratch/root$binary" "$library") && [[ $path == /* ]] ||
      fail "ldd finds no $library for $binary"
    owner=$(owner_of "$path") || fail "no one package holds $path"
    [[ ", $depends," == *", $owner "[\(,]* || ", $depends," == *", $owner,"* ]] ||
      fail "$binary needs $library of $owner, which Depends ($depends) leaves out"
  done
done

# ---- Installed -----------------------------------------------------------
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >"$scratch/apt.log" 2>&1 || {
  cat "$scratch/apt.log"
  fail "apt-get install $deb failed"
}
dpkg -L "$package" >"$scratch/installed-files"

# The checks run in a mount namespace of their own with a tmpfs over the
# source folder (the build tree with it), in a clean environment, from a
# folder of their own.
mkdir -p "$scratch/elsewhere" "$scratch/bin"
cat >"$scratch/bin/sbatch" <<'SBATCH'
#!/bin/sh
# A Slurm stand-in: keeps its arguments, prints a job id.
printf '%s\n' "$@" >"$(dirname "$0")/sbatch.args"
echo 4242
SBATCH
chmod +x "$scratch/bin/sbatch"
cp "$(dirname "$0")/deb_installed_checks.sh" "$(dirname "$0")/same_pixels.py" "$scratch/"
unshare --mount -- bash -c 'mount -t tmpfs -o size=1m,mode=0755 hidden "$1" && cd "$2" &&
  exec env -i PATH="$3/bin:/usr/bin:/bin" HOME="$3" LANG=C.UTF-8 bash "$3/deb_installed_checks.sh" "$4" "$5"' \
  - "$source_dir" "$scratch/elsewhere" "$scratch" "$build_program" "$multiarch" ||
  fail "the installed package's checks failed"

# The build tree's program gives the installed one's bits.
(cd "$scratch/elsewhere" && "$build_program" -i demo/input.exr -l demo/layer.exr -o build-tree.exr \
  --opacity 37.5 --quiet)
/usr/bin/python3 "$scratch/same_pixels.py" "$scratch/elsewhere/installed.exr" "$scratch/elsewhere/build-tree.exr" ||
  fail "the installed program's output differs from the build tree program's"
echo "the installed program renders the build tree program's bits"

# ---- Removed -------------------------------------------------------------
DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "$package" >"$scratch/apt.log" 2>&1 || {
  cat "$scratch/apt.log"
  fail "apt-get remove --purge $package failed"
}
[[ $(package_status) == not-installed ]] || fail "$package is still $(package_status) after its removal"
left=0
while read -r path; do
  # A folder stays when another package has it too (/usr/bin).
  if [[ -e $path || -L $path ]] && ! { [[ -d $path ]] && dpkg -S "$path" >/dev/null 2>&1; }; then
    echo "left behind: $path" >&2
    left=$((left + 1))
  fi
done <"$scratch/installed-files"
((left == 0)) || fail "$left of the package's files and folders are still there after apt-get remove --purge"
echo "removed: none of its $(wc -l <"$scratch/installed-files") files and folders is left"
