#!/usr/bin/env bash
# The wine side of the Windows suites:
#   wine.sh start WINE    makes the prefix with WINE's wineboot, with a wine server that stays up
#   wine.sh stop          stops that server
set -euo pipefail
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
esac
