#!/usr/bin/env bash
# Runs a Windows test program under Wine: a prefix of its own in the build
# tree (WINEPREFIX), no Wine debug chatter. A machine that cannot run Wine
# fails here, loudly: the Windows tests never pass by being skipped.
#
#   run_under_wine.sh --start-server   make the prefix, start one Wine server
#                                      that lives until --stop-server
#   run_under_wine.sh --stop-server    end that server and every Wine
#                                      program of the prefix
#   run_under_wine.sh PROGRAM [ARGS]   run PROGRAM under Wine
#
# The test suite starts the server once before its first program and stops
# it after its last (CTest fixtures). A server that shuts down on its own
# (Wine's default, a few seconds after its last program) races with the
# next program's start: a program that connects just as it closes dies at
# once with "wine client error: recvmsg: Connection reset by peer".
#
# Every program run here is a GoogleTest program, which prints before it
# does anything else. A run that printed nothing on its standard output
# never reached the program's main: Wine failed to start it. That case is
# reported as Wine's, with Wine's own messages, and retried once; a program
# that ran and failed is never retried.
set -euo pipefail

wine=${ORVANE_WINE:-/usr/lib/wine/wine64}
server="$(dirname "$wine")/wineserver"
if [[ ! -x "$wine" || ! -x "$server" ]]; then
  echo "error: Wine is not installed ($wine or $server not found); install Debian's wine64 (make deps) to run the Windows tests" >&2
  exit 1
fi
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
mkdir -p "$(dirname "$WINEPREFIX")"
lock="$WINEPREFIX.lock"

# Makes the prefix on first use. Called under the lock.
make_prefix() {
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    "$server" -w 9>&- || true  # the registry is written when the server ends
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
      echo "error: Wine could not set up its prefix in $WINEPREFIX" >&2
      exit 1
    fi
  fi
}

# Wine's own background programs are started with the server, here, with
# no terminal: started by the program under test they would inherit its
# output and hold the test open until they end. (The lock's descriptor is
# closed for them: a process that inherited it would hold the lock for as
# long as it runs.)
start_background_programs() {
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
}

case "${1:-}" in
  --start-server)
    (
      flock 9
      make_prefix
      # A server left over from a run that was cut short, or one started for
      # a program run by hand, would shut down on its own in mid-suite.
      "$server" -k 9>&- 2>/dev/null || true
      "$server" -w 9>&- || true
      if ! "$server" -p </dev/null >/dev/null 2>&1 9>&-; then
        echo "error: the Wine server for $WINEPREFIX did not start" >&2
        exit 1
      fi
      start_background_programs
      echo "Wine server started for $WINEPREFIX"
    ) 9>"$lock"
    exit 0
    ;;
  --stop-server)
    (
      flock 9
      "$server" -k 9>&- 2>/dev/null || true
      "$server" -w 9>&- || true
      echo "Wine server stopped for $WINEPREFIX"
    ) 9>"$lock"
    exit 0
    ;;
  "")
    echo "usage: run_under_wine.sh --start-server | --stop-server | PROGRAM [ARGS...]" >&2
    exit 2
    ;;
esac

# A program run outside the suite (by hand, or for test discovery) finds no
# server: one is started for it, kept for a while after it.
(
  flock 9
  make_prefix
  if "$server" -p30 </dev/null >/dev/null 2>&1 9>&-; then  # fails when one is running already
    start_background_programs
  fi
) 9>"$lock"

out=$(mktemp)
err=$(mktemp)
status=$(mktemp)
trap 'rm -f "$out" "$err" "$status"' EXIT

# Runs the program once, its output passed through as it comes and kept.
# Sets rc to its exit code.
run_once() {
  : >"$out"
  : >"$err"
  # The program's standard output goes to fd 3 and on to the outer tee,
  # its standard error to the inner one.
  {
    {
      code=0
      "$wine" "$@" 2>&1 1>&3 3>&- || code=$?
      echo "$code" >"$status"
    } | tee "$err" >&2
  } 3>&1 | tee "$out"
  rc=$(<"$status")
}

run_once "$@"
if [[ -s "$out" ]]; then
  exit "$rc"
fi

{
  echo "error: Wine failed to start $1 (exit code $rc, no output from the program):"
  echo "       this is a failure of Wine, not of the test. Wine said:"
  if [[ -s "$err" ]]; then sed 's/^/         /' "$err"; else echo "         (nothing)"; fi
  echo "       Starting it once more, with Wine's error messages on."
} >&2
WINEDEBUG=err+all run_once "$@"
if [[ -s "$out" ]]; then
  exit "$rc"
fi
echo "error: Wine failed again to start $1 (exit code $rc, no output from the program)" >&2
exit 1
