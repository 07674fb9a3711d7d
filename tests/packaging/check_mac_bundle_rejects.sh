#!/usr/bin/env bash
# The bundle check must refuse a bundle whose code lacks a slice: a copy of
# the bundle with only the x86-64 code (today's bundle before it was made
# universal), then one with only the arm64 code, each checked and each
# expected to fail for its slices.
#   check_mac_bundle_rejects.sh CHECK LIPO NM OBJDUMP BUNDLE.plugin
set -uo pipefail
check=$1 lipo=$2 nm=$3 objdump=$4 bundle=$5
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for arch in x86_64 arm64; do
  copy=$scratch/$arch/OrvaneVeilShadow.plugin
  mkdir -p "$scratch/$arch" && cp -R "$bundle" "$copy" || exit 1
  "$lipo" -thin "$arch" "$bundle/Contents/MacOS/OrvaneVeilShadow" -output "$copy/Contents/MacOS/OrvaneVeilShadow" || exit 1
  if bash "$check" "$lipo" "$nm" "$objdump" "$copy" 2>"$scratch/$arch.err"; then
    echo "FAIL: the check passed a bundle holding $arch code alone" >&2
    exit 1
  fi
  grep -q "not a universal Mach-O file" "$scratch/$arch.err" || {
    echo "FAIL: the check refused the $arch-only bundle for another reason: $(cat "$scratch/$arch.err")" >&2
    exit 1
  }
  echo "refused, as it must be: $(cat "$scratch/$arch.err")"
done
