#!/usr/bin/env bash
# Checks the Windows plug-in file as the host's loader will see it: a 64-bit
# PE DLL whose only export is EntryPointFunc, under that plain name, and
# whose imports are DLLs that every Windows installation has (the C++
# runtime, libgcc and winpthread are linked in).
#   check_windows_module.sh OBJDUMP FILE.aex
set -euo pipefail
objdump=$1 module=$2
fail() { echo "FAIL: $module: $*" >&2; exit 1; }

[[ -f "$module" ]] || fail "no such file"
command -v "$objdump" >/dev/null || fail "$objdump not found (binutils-mingw-w64-x86-64)"
headers=$("$objdump" -p "$module") || fail "objdump cannot read it"

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a PE32+ x86-64 image"
grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || fail "not PE32+"
characteristics=$(awk '/^Characteristics/ {print $2; exit}' <<<"$headers")
(( (characteristics & 0x2000) != 0 )) || fail "Characteristics $characteristics: not a DLL"

# Names in the export name table: the lines after "[Ordinal/Name Pointer] Table".
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^\t\[/ {print $NF; next} on {on=0}' <<<"$headers")
[[ "$exports" == "EntryPointFunc" ]] || fail "exports are [$(echo $exports)], not just EntryPointFunc"

# Imported DLLs: only Windows' own.
imports=$(awk '/DLL Name:/ {print $3}' <<<"$headers")
[[ -n "$imports" ]] || fail "no import table found"
for dll in $imports; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | ntdll.dll | user32.dll | advapi32.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
    *) fail "imports $dll, which is not part of Windows" ;;
  esac
done

echo "$module: PE32+ x86-64 DLL, $(stat -c %s "$module") bytes; exports: $exports; imports: $(echo $imports)"
