#!/usr/bin/env bash
# Checks the macOS plug-in bundle as the host will find it: the bundle
# layout, an Info.plist naming the executable and the bundle identifier, an
# x86-64 Mach-O bundle for macOS 10.13 exporting only _EntryPointFunc, and
# the resource file beside it. The code may leave only C++ runtime symbols
# (exceptions) and the stack protector's to be bound at load time: anything
# else would mean the plug-in depends on a library the host doesn't promise.
#   check_mac_bundle.sh NM OBJDUMP BUNDLE.plugin
set -euo pipefail
nm=$1 objdump=$2 bundle=$3
fail() { echo "FAIL: $bundle: $*" >&2; exit 1; }

command -v file >/dev/null || fail "the file program is missing"
command -v "$nm" >/dev/null || fail "$nm not found (llvm-14)"
command -v "$objdump" >/dev/null || fail "$objdump not found (llvm-14)"

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
[[ "$kind" == "Mach-O 64-bit x86_64 bundle"* ]] || fail "code is '$kind', not an x86-64 Mach-O bundle"

headers=$("$objdump" --macho --private-headers "$code")
grep -Eq '^ *(version|minos) 10\.13$' <<<"$headers" || fail "code does not name macOS 10.13 as its minimum"

exported=$("$nm" -g --defined-only -j "$code")
[[ "$exported" == "_EntryPointFunc" ]] || fail "exports [$(echo $exported)], not just _EntryPointFunc"

for symbol in $("$nm" -u -j "$code"); do
  case "$symbol" in
    ___cxa_* | ___gxx_personality_v0 | __Unwind_Resume | __ZSt9terminatev | __ZTI[a-z] | \
    ___stack_chk_fail | ___stack_chk_guard | _memcpy | _memmove | _memset | _bzero) ;;
    *) fail "code needs $symbol, which is neither the C++ runtime's nor the stack protector's" ;;
  esac
done

echo "$bundle: $kind, $(stat -c %s "$code") bytes, exports _EntryPointFunc, identifier $identifier"
