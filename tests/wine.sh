#!/usr/bin/env bash
# The wine side of the Windows suites:
#   wine.sh start WINE    makes the prefix with WINE's wineboot, with a wine server that stays up
#   wine.sh stop          stops that server
#   wine.sh guard PROBE CMD...
#       runs CMD, unless the kernel refuses to execute PROBE, a 32-bit x86 program, with
#       "Exec format error": 32-bit wine cannot start on such a host, so the test is skipped (77),
#       saying why. Any other failure is CMD's to report.
set -euo pipefail
skipped=77
case $1 in
    start)
        prefix=${WINEPREFIX:-$HOME/.wine}
        mkdir -p "$prefix"
        # To a file: a pipe would be held open by the server, and the test would never end.
        log=$prefix/start.log
        if ! { wineserver -p && "$2" wineboot --init; } >"$log" 2>&1; then
            echo "wine did not start; the last lines of $log:"
            tail -n 20 "$log"
            exit 1
        fi ;;
    stop)
        wineserver -k || true ;;
    guard)
        probe=$2
        shift 2
        status=0
        error=$(export LC_ALL=C && "$probe" --version 2>&1 >/dev/null) || status=$?
        if [ "$status" -eq 126 ] && [[ $error == *"Exec format error"* ]]; then
            echo "32-bit wine cannot start here: this host's kernel refuses to execute 32-bit" \
                "x86 programs ($probe: Exec format error), so the tests that run the 32-bit" \
                "factorial.exe are skipped; windows-x64 is the Windows suite that runs on this host"
            exit $skipped
        fi
        status=0
        "$@" || status=$?
        [ "$status" -ne $skipped ] || status=1 # only the probe may skip
        exit "$status" ;;
esac
