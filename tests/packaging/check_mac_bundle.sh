#!/usr/bin/env bash
# Checks the macOS plug-in bundle as the host will find it: the bundle
# layout, an Info.plist naming the executable and the bundle identifier, a
# universal Mach-O bundle holding an x86-64 slice for macOS 10.13 and an
# arm64 slice for macOS 11 (the first on Apple silicon), each exporting only
# _EntryPointFunc, and the resource file beside it. Each slice may leave
# only C++ runtime symbols (exceptions, guarded statics) and the stack
# protector's to be bound at load time: anything else would mean the
# plug-in depends on a library the host doesn't promise.
#   check_mac_bundle.sh LIPO NM OBJDUMP BUNDLE.plugin
set -euo pipefail
lipo=$1 nm=$2 objdump=$3 bundle=$4
fail() { echo "FAIL: $bundle: $*" >&2; exit 1; }

command -v file >/dev/null || fail "the file program is missing"
for tool in "$lipo" "$nm" "$objdump"; do
  command -v "$tool" >/dev/null || fail "$tool not found (llvm-14)"
done

plist=$bundle/Contents/Info.plist
code=$bundle/Contents/MacOS/OrvaneVeilShadow
rsrc=$bundle/Contents/Resources/OrvaneVeilShadow.rsrc
for f in "$plist" "$code" "$rsrc"; do [[ -f "$f" ]] || fail "missing ${f#"$bundle"/}"; done

# <key>K</key> followed by <string>V</string>: the value of K.
plist_value() { tr -d '\n\t ' <"$plist" | sed -n "s|.*<key>$1</key><string>\([^<]*\)</string>.*|\1|p"; }
[[ "$(plist_value CFBundleExecutable)" == "OrvaneVeilShadow" ]] || fail "Info.plist: CFBundleExecutable is not OrvaneVeilShadow"
identifier=$(plist_value CFBundleIdentifier)
[[ "$identifier" =~ ^[A-Za-z0-9.-]+\.[A-Za-z0-9.-]+$ ]] || fail "Info.plist: bad CFBundleIdentifier '$identifier'"
[[ "$(plist_value CFBundlePackageType)" == "eFKT" ]] || fail "Info.plist: CFBundlePackageType is not eFKT"

kind=$(file -b "$code")
[[ "$kind" == "Mach-O universal binary with 2 architectures"* ]] || fail "code is '$kind', not a universal Mach-O file of two slices"
archs=$("$lipo" -archs "$code") || fail "llvm-lipo cannot read the code"
[[ "$(tr ' ' '\n' <<<"$archs" | sort | xargs)" == "arm64 x86_64" ]] || fail "code holds the slices [$archs], not x86_64 and arm64"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# check_slice ARCH FILE-DESCRIPTION MINIMUM-MACOS
check_slice() {
  local arch=$1 description=$2 minimum=$3
  local slice=$scratch/$arch
  "$lipo" -thin "$arch" "$code" -output "$slice" || fail "$arch: llvm-lipo cannot extract the slice"
  local slice_kind
  slice_kind=$(file -b "$slice")
  [[ "$slice_kind" == "Mach-O 64-bit $description bundle"* ]] || fail "$arch slice is '$slice_kind', not a Mach-O $description bundle"

  "$objdump" --macho --private-headers "$slice" | grep -Eq "^ *(version|minos) ${minimum//./\\.}\$" ||
    fail "$arch slice does not name macOS $minimum as its minimum"

  local exported
  exported=$("$nm" -g --defined-only -j "$slice")
  [[ "$exported" == "_EntryPointFunc" ]] || fail "$arch slice exports [$(echo $exported)], not just _EntryPointFunc"

  local symbol
  for symbol in $("$nm" -u -j "$slice"); do
    case "$symbol" in
      ___cxa_* | ___gxx_personality_v0 | __Unwind_Resume | __ZSt9terminatev | __ZTI[a-z] | \
      ___stack_chk_fail | ___stack_chk_guard | _memcpy | _memmove | _memset | _bzero) ;;
      *) fail "$arch slice needs $symbol, which is neither the C++ runtime's nor the stack protector's" ;;
    esac
  done
  echo "$arch slice: $slice_kind, $(stat -c %s "$slice") bytes, macOS $minimum or later, exports _EntryPointFunc"
}
check_slice x86_64 x86_64 10.13
check_slice arm64 arm64 11.0

echo "$bundle: universal ($(echo $archs)), $(stat -c %s "$code") bytes, identifier $identifier"
