#!/usr/bin/env bash
# Checks a Windows build's headers, executing nothing:
#   pe-check.sh OBJDUMP EXE ARCHITECTURE MAGIC VERSION DLL...
# EXE must be a console program for ARCHITECTURE (as objdump -f names it), with the optional
# header MAGIC (PE32 or PE32+), asking for a Windows no newer than subsystem VERSION, without a
# link time stamp, importing from exactly the DLLs given.
set -euo pipefail
objdump=$1 exe=$2 arch=$3 magic=$4 max_version=$5
shift 5
headers=$("$objdump" -f -p "$exe")

fail=0
check() { # check WHAT GOT EXPECTED
    [ "$2" = "$3" ] || { echo "$1: '$2', expected '$3'"; fail=1; }
}
check architecture "$(sed -n 's/^architecture: \([^,]*\),.*/\1/p' <<<"$headers")" "$arch"
check "optional header" "$(sed -n 's/^Magic[[:space:]].*(\(.*\))$/\1/p' <<<"$headers")" "$magic"
check subsystem "$(sed -n 's/^Subsystem[[:space:]].*(\(.*\))$/\1/p' <<<"$headers")" "Windows CUI"
version=$(sed -n 's/^M[a-z]*SubsystemVersion[[:space:]]*//p' <<<"$headers" | paste -sd.)
lowest=$(printf '%s\n' "$version" "$max_version" | sort -V | head -n 1)
[[ $version =~ ^[0-9]+\.[0-9]+$ && $lowest = "$version" ]] ||
    { echo "subsystem version: '$version', expected $max_version or lower"; fail=1; }
# The PE header's link time, a little-endian word 8 bytes into the header that 0x3c points to.
pe=$(od -An -tu4 -j60 -N4 "$exe")
check "link time stamp" "$(od -An -tu4 -j$((pe + 8)) -N4 "$exe" | xargs)" 0
check imports "$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort | xargs)" \
    "$(printf '%s\n' "$@" | sort | xargs)"
exit $fail
