#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests: a prefix of its own in the
# build tree (WINEPREFIX), no Wine debug chatter. A machine that cannot run
# Wine fails here, loudly: the Windows tests never pass by being skipped.
set -euo pipefail

wine=${ORVANE_WINE:-/usr/lib/wine/wine64}
server="$(dirname "$wine")/wineserver"
if [[ ! -x "$wine" || ! -x "$server" ]]; then
  echo "error: Wine is not installed ($wine or $server not found); install Debian's wine64 (make deps) to run the Windows tests" >&2
  exit 1
fi
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX WINEDEBUG=-all
mkdir -p "$(dirname "$WINEPREFIX")"

# Under a lock, so that tests starting together don't race:
# - the prefix is made on first use;
# - one server is kept running for a while after each program, and Wine's
#   own background programs are started with it, here, with no terminal.
#   Started by the program under test they would inherit its output and hold
#   the test open until they end.
(
  flock 9
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    "$server" -w 9>&- || true  # the registry is written when the server ends
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
      echo "error: Wine could not set up its prefix in $WINEPREFIX" >&2
      exit 1
    fi
  fi
  # (The lock's descriptor is closed for them: a server that inherited it
  # would hold the lock for as long as it runs.)
  if "$server" -p30 </dev/null >/dev/null 2>&1 9>&-; then  # fails when one is running already
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"

exec "$wine" "$@"
