#!/usr/bin/env bash
# Checks a Windows build of factorial.exe against what the download for TARGET must be, executing
# nothing:
#   pe-check.sh TARGET EXE VERSION COMMIT [FAULT]
# x86: a PE32 for i386 that Windows XP (5.1) starts; x64: a PE32+ for x86-64 that 64-bit Windows XP
# (5.2) starts. Both: a console program without a link time stamp or a symbol table, importing
# exactly what imports.tsv lists for TARGET; a version resource for VERSION whose product version
# is VERSION+COMMIT (COMMIT 'any': any commit, marked as modified or not, as a build of work not
# yet committed names); a manifest that runs it as the invoker, in the form Windows XP accepts.
# With FAULT, the check runs on a copy of EXE with that fault planted, and must fail naming it.
# Exit status: 0 passed, 1 failed, 3 a tool is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
target=$1 exe=$2 version=$3 commit=$4 fault=${5:-}
case $target in
    x86) triple=i686-w64-mingw32 binutils=binutils-mingw-w64-i686 kind="a PE32 for i386"
        max_version=5.1 ;;
    x64) triple=x86_64-w64-mingw32 binutils=binutils-mingw-w64-x86-64 kind="a PE32+ for x86-64"
        max_version=5.2 ;;
    *) echo "target '$target': x86 or x64"; exit 1 ;;
esac
missing=
for tool in $triple-objdump:$binutils $triple-windres:$binutils wrestool:icoutils \
    xmllint:libxml2-utils perl:perl; do
    command -v "${tool%%:*}" >/dev/null || missing+=" ${tool%%:*} (package ${tool#*:})"
done
[ -z "$missing" ] || { echo "pe-check.sh needs what is not installed:$missing"; exit 3; }
u32() { od -An -tu4 -j"$1" -N4 "$exe" | xargs; } # the little-endian word at offset $1
u16() { od -An -tu2 -j"$1" -N2 "$exe" | xargs; }
# The PE signature that 0x3c points to; the COFF header follows it, then the optional header.
pe=$(u32 60)

if [ -n "$fault" ]; then
    copy=$(mktemp)
    trap 'rm -f "$copy"' EXIT
    cp "$exe" "$copy"
    opt=$((pe + 24))
    poke() { # poke OFFSET BYTE...
        printf %b "$(printf '\\0%03o' "${@:2}")" |
            dd of="$copy" bs=1 seek="$1" conv=notrunc status=none
    }
    swap() { perl -0777 -pi -e "$1" "$copy"; } # a substitution of the same length
    # shellcheck disable=SC2001 # a NUL after every character, which no expansion writes
    utf16() { sed 's/./&\\0/g' <<<"$1"; }
    case $fault in
        other-target) # the machine and optional header magic of the other target's exe
            if [ "$target" = x86 ]; then poke $((pe + 4)) 0x64 0x86 && poke "$opt" 0x0b 2
            else poke $((pe + 4)) 0x4c 1 && poke "$opt" 0x0b 1; fi ;;
        subsystem-6.0) poke $((opt + 48)) 6 0 0 0 ;;
        gui) poke $((opt + 68)) 2 0 ;;
        timestamp) poke $((pe + 8)) 1 2 3 4 ;;
        symbols) poke $((pe + 12)) 0 16 0 0 1 0 0 0 ;;
        extra-dll) swap 's/msvcrt\.dll\0/zlib1.dll\0\0/' ;;
        GetTickCount64) swap 's/DeleteCriticalSection\0/"GetTickCount64" . "\0" x 8/e' ;;
        file-version) swap 's/(\xbd\x04\xef\xfe.{4})\0\0\x01\0/$1\x01\0\0\0/s' ;; # 1.0 to 0.1
        product-version) swap "s/($(utf16 ProductVersion)\\0\\0(?:\\0\\0)?1\\0)\\.\\0/\$1-\\0/" ;;
        translation) swap "s/($(utf16 Translation)\\0\\0(?:\\0\\0)?\\x09\\x04)\\xb0/\$1\\xe4/" ;;
        manifest-xml) swap 's/<\/assembly>/<\/assemblx>/' ;;
        manifest-namespace) swap 's/(<trustInfo)( xmlns="[^"]*")/$1 . " " x length $2/e' ;;
        no-manifest) # RT_MANIFEST (24) in the resource directory's root becomes type 127
            rsrc=$((0x$("$triple-objdump" -h "$exe" | awk '$2 == ".rsrc" { print $6 }')))
            ids=$(od -An -tu2 -j$((rsrc + 12)) -N4 "$exe" | xargs)
            for ((i = ${ids% *}; i < ${ids% *} + ${ids#* }; i++)); do
                [ "$(u32 $((rsrc + 16 + 8 * i)))" != 24 ] || poke $((rsrc + 16 + 8 * i)) 127
            done ;;
        *) echo "no fault named '$fault'"; exit 1 ;;
    esac
    cmp -s "$exe" "$copy" && { echo "planting $fault changed nothing"; exit 1; }
    exe=$copy
fi

# What the file is, read from its bytes before any tool for the target reads it: an exe for the
# other target, or no exe at all, is named as such rather than as a tool's failure to read it.
is="not a PE file"
if [ "$(head -c 2 "$exe")" = MZ ] && [ "$(od -An -tx1 -j"$pe" -N4 "$exe" | xargs)" = '50 45 00 00' ]
then
    case $(u16 $((pe + 4))):$(u16 $((pe + 24))) in
        332:267) is="a PE32 for i386" ;;
        34404:523) is="a PE32+ for x86-64" ;;
        *) is="a PE file for machine $(u16 $((pe + 4))), optional header $(u16 $((pe + 24)))" ;;
    esac
fi
[ "$is" = "$kind" ] || { echo "$(basename "$2") is $is, expected $kind"; exit 1; }

fail=0
check() { # check WHAT GOT EXPECTED
    [ "$2" = "$3" ] || { echo "$1: '$2', expected '$3'"; fail=1; }
}
headers=$("$triple-objdump" -f -p "$exe")
check subsystem "$(sed -n 's/^Subsystem[[:space:]].*(\(.*\))$/\1/p' <<<"$headers")" "Windows CUI"
subsystem=$(sed -n 's/^M[a-z]*SubsystemVersion[[:space:]]*//p' <<<"$headers" | paste -sd.)
lowest=$(printf '%s\n' "$subsystem" "$max_version" | sort -V | head -n 1)
[[ $subsystem =~ ^[0-9]+\.[0-9]+$ && $lowest = "$subsystem" ]] ||
    { echo "subsystem version: '$subsystem', expected $max_version or lower"; fail=1; }
# In the COFF header, after the 4-byte signature: the link time 8 bytes in, then the symbol
# table's offset and count.
check "link time stamp" "$(u32 $((pe + 8)))" 0
check "symbol table (offset, count)" "$(u32 $((pe + 12))) $(u32 $((pe + 16)))" "0 0"

# Each import, as "DLL function", against the table; what differs is named, a line for each DLL.
imports=$(awk '/^\tDLL Name: / { dll = $3; next } dll && /^\t[0-9a-f]+\t/ { print dll, $NF }
    /^$/ { dll = "" }' <<<"$headers" | sort -u)
pinned=$(awk -F'\t' -v target="$target" '$1 == target { print $2, $3 }' "$here/imports.tsv" |
    sort -u)
by_dll() { # "DLL function" lines to one line for each DLL
    awk '{ names[$1] = names[$1] " " $2 } END { for (d in names) print "  " d ":" names[d] }' |
        sort
}
new=$(comm -23 <(echo "$imports") <(echo "$pinned") | by_dll)
gone=$(comm -13 <(echo "$imports") <(echo "$pinned") | by_dll)
[ -z "$new" ] || { echo "imports that imports.tsv does not list for $target (confirm the oldest" \
    "Windows that has each, then add it):"; echo "$new"; fail=1; }
[ -z "$gone" ] ||
    { printf 'listed in imports.tsv for %s but not imported:\n%s\n' "$target" "$gone"; fail=1; }

# The version resource, read back as resource script: the version in both numeric fields and in
# FileVersion, the commit in ProductVersion, and one language and code page throughout.
rc=$("$triple-windres" -i "$exe" -J coff -O rc 2>&1) || { echo "windres: $rc"; fail=1; }
field() { sed -n "s/^ *$1 //p" <<<"$rc" | head -n 1; }
numeric="$(tr . ' ' <<<"$version" | awk '{ print $1 ", " $2 ", " $3 ", 0" }')"
check FILEVERSION "$(field FILEVERSION)" "$numeric"
check PRODUCTVERSION "$(field PRODUCTVERSION)" "$numeric"
check FileVersion "$(field 'VALUE "FileVersion",')" "\"$version\""
product=$(field 'VALUE "ProductVersion",')
if [ "$commit" = any ]; then
    [[ $product =~ ^\"${version//./\\.}\+[0-9a-f]{40}([0-9a-f]{24})?(\.modified)?\"$ ]] ||
        { echo "ProductVersion: $product, expected \"$version+COMMIT\""; fail=1; }
else
    check ProductVersion "$product" "\"$version+$commit\""
fi
translation=$(field 'VALUE "Translation",')
check Translation "$translation" "0x409, 1200"
block=$(sed -n 's/^ *BLOCK "\([0-9A-Fa-f]\{8\}\)"$/\1/p' <<<"$rc")
check "string block (language, code page)" "$block" \
    "$(printf '%04X%04X' "${translation%%,*}" "${translation#*, }")"

# The manifest: well-formed, and asking to run as the invoker from a trustInfo in the namespace
# that Windows XP accepts.
manifest=$(wrestool -x --raw --type=24 --name=1 "$exe")
if [ -z "$manifest" ]; then
    echo "manifest: none (resource type 24, name 1)"
    fail=1
elif ! xmllint --noout - <<<"$manifest"; then
    echo "manifest: not well-formed XML"
    fail=1
else
    xpath() { xmllint --xpath "string($1)" - <<<"$manifest"; }
    any() { local path=; for name; do path+="/*[local-name()='$name']"; done; echo "$path"; }
    check "manifest's trustInfo namespace" \
        "$(xpath "namespace-uri($(any assembly trustInfo))")" urn:schemas-microsoft-com:asm.v2
    check "manifest's execution level" "$(xpath "$(any assembly trustInfo security \
        requestedPrivileges requestedExecutionLevel)/@level")" asInvoker
fi
exit $fail
