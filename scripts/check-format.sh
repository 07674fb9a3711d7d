#!/usr/bin/env bash
# Checks that every C++ source of the tree is formatted as .clang-format
# says (clang-format 14); with --fix, formats them in place.
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=${CLANG_FORMAT:-clang-format-14}
if ! command -v "$formatter" >/dev/null; then
  echo "error: $formatter not found (Debian: clang-format-14; make deps installs it)" >&2
  exit 1
fi
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.inc')
else
  mapfile -t files < <(find . -path ./build -prune -o -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.inc' \) -print)
fi

if [[ "${1:-}" == --fix ]]; then
  "$formatter" -i "${files[@]}"
  echo "Formatted ${#files[@]} files"
  exit 0
fi

unformatted=()
for f in "${files[@]}"; do
  if ! "$formatter" --dry-run -Werror "$f" >/dev/null 2>&1; then unformatted+=("$f"); fi
done
if ((${#unformatted[@]} > 0)); then
  echo "error: ${#unformatted[@]} file(s) are not formatted as .clang-format says:" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  echo "Run 'make format' (scripts/check-format.sh --fix) to format them." >&2
  exit 1
fi
echo "Formatting checked: ${#files[@]} files as .clang-format says"
