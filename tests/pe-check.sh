#!/usr/bin/env bash
# Checks a Windows build's headers and version resource, executing nothing:
#   pe-check.sh OBJDUMP WINDRES EXE TARGET COMMIT
# EXE must be what the download for TARGET must hold: for x86 a PE32 for i386 that Windows XP (5.1)
# starts, for x64 a PE32+ for x86-64 that 64-bit Windows XP (5.2) starts; both console programs
# without a link time stamp or a symbol table, importing from Windows' own DLLs alone, whose
# version resource names COMMIT.
set -euo pipefail
objdump=$1 windres=$2 exe=$3 target=$4 commit=$5
case $target in
    x86) arch=i386 magic=PE32 max_version=5.1 ;;
    x64) arch=i386:x86-64 magic=PE32+ max_version=5.2 ;;
    *) echo "target '$target': x86 or x64"; exit 1 ;;
esac
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
# The PE file header that 0x3c points to: after its 4-byte signature, the link time 8 bytes in,
# then the symbol table's offset and count, little-endian words.
pe=$(od -An -tu4 -j60 -N4 "$exe")
check "link time stamp" "$(od -An -tu4 -j$((pe + 8)) -N4 "$exe" | xargs)" 0
check "symbol table (offset, count)" "$(od -An -tu4 -j$((pe + 12)) -N8 "$exe" | xargs)" "0 0"
check imports "$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | sort | xargs)" \
    "KERNEL32.dll msvcrt.dll"
product=$("$windres" -i "$exe" -J coff -O rc | sed -n 's/.*VALUE "ProductVersion", "\(.*\)"$/\1/p')
[[ $product == *"+$commit" ]] ||
    { echo "version resource's product version: '$product', expected VERSION+$commit"; fail=1; }
exit $fail
