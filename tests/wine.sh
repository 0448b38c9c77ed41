#!/usr/bin/env bash
# wine.sh start|stop: makes the wine prefix with a wine server that stays up, or stops it.
set -euo pipefail
case $1 in
    start)
        mkdir -p "${WINEPREFIX:-$HOME/.wine}"
        wineserver -p >/dev/null 2>&1
        wineboot --init >/dev/null 2>&1 ;;
    stop)
        wineserver -k || true ;;
esac
