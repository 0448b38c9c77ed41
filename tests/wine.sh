#!/usr/bin/env bash
# The wine side of the Windows suites:
#   wine.sh start WINE    makes the prefix with WINE's wineboot, with a wine server that stays up
#                         until wine.sh stop, or until the ctest that started it ends
#   wine.sh stop          stops that server
#   wine.sh guard CMD...
#       runs CMD, unless the kernel refuses to execute the probe, a 32-bit x86 program, with
#       "Exec format error": 32-bit wine cannot start on such a host, so the test is skipped (77),
#       saying why. Any other failure is CMD's to report. The probe is /lib/ld-linux.so.2, which
#       is always installed beside 32-bit wine, or else what FACTORIAL_I386_PROBE names.
#   wine.sh foreign-elf FILE
#       writes FILE, an ELF header for AArch64 and nothing more, which an x86 kernel refuses to
#       execute just as one without 32-bit support refuses a 32-bit x86 program: as a probe, it
#       shows the skip on any x86 host.
set -euo pipefail
skipped=77
case $1 in
    start)
        prefix=${WINEPREFIX:-$HOME/.wine}
        # A prefix whose making was stopped is made again: wineboot fails in it without a word.
        [ -e "$prefix/made" ] || rm -rf "$prefix"
        mkdir -p "$prefix"
        # To a file: a pipe would be held open by the server, and the test would never end.
        log=$prefix/start.log
        # A server that ends itself some seconds after its last program (-pN) was seen to kill
        # the programs of a running suite, with status 1, as it ended. This one stays up, and a
        # watcher of its own, in a session of its own, stops it once the ctest above has ended,
        # however that ended.
        run=$PPID
        until [ "$(ps -o comm= -p "$run")" = ctest ] || [ "$run" -le 1 ]; do
            run=$(($(ps -o ppid= -p "$run")))
        done
        [ "$(ps -o comm= -p "$run")" = ctest ] || run=$PPID
        if ! { wineserver -p && setsid -f bash -c 'wineserver -w & server=$!
                while kill -0 "$0" && kill -0 $server; do sleep 1; done 2>/dev/null
                kill -0 $server 2>/dev/null && wineserver -k' "$run" </dev/null &&
            "$2" wineboot --init && : >"$prefix/made"; } >"$log" 2>&1; then
            echo "wine did not start; the last lines of $log:"
            tail -n 20 "$log"
            exit 1
        fi ;;
    stop)
        wineserver -k || true ;;
    guard)
        probe=${FACTORIAL_I386_PROBE:-/lib/ld-linux.so.2}
        shift
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
    foreign-elf)
        # 64-bit little-endian, an executable, e_machine 183 (AArch64), no program headers.
        mkdir -p "$(dirname "$2")"
        { printf '\177ELF\2\1\1\0\0\0\0\0\0\0\0\0\2\0\267\0\1\0\0\0'
          head -c 28 /dev/zero
          printf '\100\0\70\0\0\0\100\0\0\0\0\0'; } >"$2"
        chmod +x "$2" ;;
esac
