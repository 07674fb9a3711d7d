#!/bin/bash
# completion_test.sh PROGRAM COMPLETION: the bash completion built for
# PROGRAM offers every option and subcommand of every command, as PROGRAM's
# own --help lists them now, and completes without running any program
# (the completion is sourced with a PATH that holds no veilshadow).
set -uo pipefail
program=$1 completion=$2
bash_completion=/usr/share/bash-completion/bash_completion
[[ -r $bash_completion ]] || {
  echo "SKIP: $bash_completion is not installed"
  exit 77
}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# offered LINE: what a Tab at the end of LINE offers, one per line.
offered() {
  env -i PATH=/usr/bin:/bin bash -c 'source "$1"; source "$2"
    COMP_LINE=$3 COMP_POINT=${#3}
    read -ra COMP_WORDS <<<"$3"
    [[ $3 != *" " ]] || COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _veilshadow; printf "%s\n" "${COMPREPLY[@]}"' - "$bash_completion" "$completion" "$1"
}

# section NAME SUBCOMMAND...: the first words of the lines under NAME: in
# `PROGRAM SUBCOMMAND... --help`, names split at commas.
section() {
  local name=$1
  shift
  "$program" "$@" --help | sed -n "/^$name:\$/,/^\$/p" | sed -n 's/^  \([^ ]*\).*/\1/p' | tr ',' '\n'
}

commands=("")
checked=0
while ((${#commands[@]})); do
  command=${commands[0]}
  commands=("${commands[@]:1}")
  # shellcheck disable=SC2086 # the words of a command path
  set -- $command
  want_options=$(section Options "$@")
  [[ -n $want_options ]] || fail "veilshadow $command --help lists no options"
  got=$(offered "veilshadow $command${command:+ }-")
  for option in $want_options; do
    grep -qxF -- "$option" <<<"$got" || fail "\"veilshadow $command -<Tab>\" does not offer $option"
    checked=$((checked + 1))
  done
  got=$(offered "veilshadow $command${command:+ }")
  for sub in $(section Subcommands "$@"); do
    grep -qxF -- "$sub" <<<"$got" || fail "\"veilshadow $command <Tab>\" does not offer $sub"
    commands+=("$command${command:+ }$sub")
    checked=$((checked + 1))
  done
done
((checked > 20)) || fail "only $checked options and subcommands found in the help"
((failures == 0)) || exit 1
echo "the completion offers all $checked options and subcommands of veilshadow's help"
