#!/usr/bin/env bash
# Checks a Windows build's headers, executing nothing:
#   pe-check.sh OBJDUMP EXE ARCHITECTURE MAGIC DLL...
# EXE must be a console program for ARCHITECTURE (as objdump -f names it), with the optional
# header MAGIC (PE32 or PE32+), importing from exactly the DLLs given.
set -euo pipefail
objdump=$1 exe=$2 arch=$3 magic=$4
shift 4
headers=$("$objdump" -f -p "$exe")

fail=0
check() { # check WHAT GOT EXPECTED
    [ "$2" = "$3" ] || { echo "$1: '$2', expected '$3'"; fail=1; }
}
check architecture "$(sed -n 's/^architecture: \([^,]*\),.*/\1/p' <<<"$headers")" "$arch"
check "optional header" "$(sed -n 's/^Magic[[:space:]].*(\(.*\))$/\1/p' <<<"$headers")" "$magic"
check subsystem "$(sed -n 's/^Subsystem[[:space:]].*(\(.*\))$/\1/p' <<<"$headers")" "Windows CUI"
check imports "$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort | xargs)" \
    "$(printf '%s\n' "$@" | sort | xargs)"
exit $fail
