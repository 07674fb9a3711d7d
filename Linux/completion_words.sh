#!/bin/bash
# Run at build time: completion_words.sh PROGRAM TEMPLATE OUTPUT writes the
# bash completion: TEMPLATE with its @VEILSHADOW_WORDS@ line replaced by
# the options and subcommands of PROGRAM and of each of its subcommands,
# as their --help lists them. The output is written beside its place and
# renamed there.
set -euo pipefail
program=$1 template=$2 output=$3

# help_words KIND SUBCOMMAND...: what `PROGRAM SUBCOMMAND... --help` lists
# under Options: (KIND opt: every name; val: the names of options that
# take a value) or under Subcommands: (KIND sub), on one line.
help_words() {
  local kind=$1 help
  shift
  help=$(LC_ALL=C "$program" "$@" --help) || {
    echo "completion_words.sh: $program $* --help failed" >&2
    exit 1
  }
  awk -v kind="$kind" '
    /^$/ { section = ""; next }
    /^[A-Z][A-Za-z ]*:$/ { section = $0; next }
    section == "Subcommands:" && kind == "sub" && /^  [a-z]/ { words = words " " $1 }
    section == "Options:" && /^  -/ && (kind == "opt" || (kind == "val" && $2 ~ /^[A-Z]+$/)) {
      n = split($1, names, ",")
      for (i = 1; i <= n; i++) words = words " " names[i]
    }
    END { print substr(words, 2) }' <<<"$help"
}

# One case of _veilshadow_words per kind and command, every subcommand
# followed down.
cases=""
add_command() {
  local kind words sub
  for kind in opt val sub; do
    words=$(help_words "$kind" "$@")
    cases+="        \"$kind${*:+ $*}\") echo \"$words\" ;;"$'\n'
  done
  for sub in $(help_words sub "$@"); do add_command "$@" "$sub"; done
}
add_command

partial="$output.partial"
while IFS= read -r line; do
  if [[ $line == "@VEILSHADOW_WORDS@" ]]; then printf '%s' "$cases"; else printf '%s\n' "$line"; fi
done <"$template" >"$partial"
mv "$partial" "$output"
