#!/usr/bin/env bash
# The Wine runner against a fake Wine: a program that never started (no
# output, whatever its exit code) is reported as Wine's failure and started
# exactly once more; a program that ran and failed keeps its exit code and
# is not started again.
set -euo pipefail
runner=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/wineserver" <<'FAKE'
#!/bin/sh
exit 0
FAKE
cat >"$work/wine64" <<'FAKE'
#!/bin/sh
case "$1" in
  wineboot) mkdir -p "$WINEPREFIX" && touch "$WINEPREFIX/system.reg"; exit 0 ;;
  cmd) exit 0 ;;
esac
echo "$WINEDEBUG" >>"$FAKE_WINE_CALLS"
case "$FAKE_WINE_MODE" in
  dead-1) exit 1 ;;
  dead-0) exit 0 ;;
  failing-test) echo "Running main()"; echo "[  FAILED  ] one test"; exit 3 ;;
esac
FAKE
chmod +x "$work/wineserver" "$work/wine64"

failures=0
# mode, expected exit code, expected starts, whether Wine is blamed
while read -r mode want_rc want_starts blamed; do
  calls="$work/$mode.calls"
  set +e
  ORVANE_WINE="$work/wine64" WINEPREFIX="$work/prefix" FAKE_WINE_MODE=$mode FAKE_WINE_CALLS=$calls \
    bash "$runner" test.exe >"$work/$mode.out" 2>"$work/$mode.err"
  rc=$?
  set -e
  starts=$(wc -l <"$calls")
  said=no
  if grep -q "Wine failed to start test.exe" "$work/$mode.err" &&
     grep -q "a failure of Wine, not of the test" "$work/$mode.err"; then said=yes; fi
  retried_with_messages=$(sed -n 2p "$calls")
  if [[ $rc != "$want_rc" || $starts != "$want_starts" || $said != "$blamed" ||
        ($want_starts == 2 && $retried_with_messages != "err+all") ]]; then
    echo "FAIL $mode: exit $rc (want $want_rc), started $starts times (want $want_starts)," \
         "Wine blamed: $said (want $blamed), retry's WINEDEBUG: '$retried_with_messages'"
    sed 's/^/    /' "$work/$mode.err"
    failures=$((failures + 1))
  else
    echo "ok   $mode"
  fi
done <<'CASES'
dead-1       1 2 yes
dead-0       1 2 yes
failing-test 3 1 no
CASES
exit $((failures > 0))
