#!/usr/bin/env bash
# Checks the Windows download for TARGET as a user receives it, after its workflow has packed it
# into build/windows-TARGET/, and that anyone packs the same bytes from the same commit:
#   download-check.sh x86|x64
# The expectations come from the product, not from the build: the download's name from the
# README, the commit and its date from git, the exe from pe-check.sh for the target named here.
set -euo pipefail
target=$1
src=$(cd "$(dirname "$0")/.." && pwd)
missing=
for tool in git:git unzip:unzip zipinfo:unzip sha256sum:coreutils cmake:cmake cpack:cmake \
    setpriv:util-linux; do
    command -v "${tool%%:*}" >/dev/null || missing+=" ${tool%%:*} (package ${tool#*:})"
done
[ -z "$missing" ] || { echo "download-check.sh needs what is not installed:$missing"; exit 3; }
fail() { echo "$target: $*"; exit 1; }

# Every download name in the README: one version, for x86 and x64 alone.
names=$(grep -o 'factorial-[^ `/]*\.zip' "$src/README.md" | sort -u)
version=$(sed -n 's/^factorial-\([0-9.]*\)-windows-x[0-9]*\.zip$/\1/p' <<<"$names" | sort -u)
[ "$(wc -l <<<"$version")" = 1 ] && [ -n "$version" ] ||
    fail "README.md names downloads of versions '$(echo $version)'"
expected=$(printf "factorial-$version-windows-%s.zip\n" x64 x86)
[ "$names" = "$expected" ] ||
    fail "README.md names the downloads $(echo $names), expected $(echo $expected)"
commit=$(git -C "$src" rev-parse HEAD)
date=$(git -C "$src" log -1 --format=%ct HEAD)
name=factorial-$version-windows-$target
build=$src/build/windows-$target
work=$(mktemp -d)
chmod 755 "$work" # for the other user
trap 'rm -rf "$work"' EXIT

# dates ZIP EPOCH: every entry of ZIP is dated EPOCH in UTC, in the DOS field (to the even second
# below, all it holds) and in the extended timestamp.
dates() {
    local dos ut
    dos=$(LC_ALL=C date -u -d "@$(($2 - $2 % 2))" '+%Y %b %-d %H:%M:%S')
    ut=$(LC_ALL=C date -u -d "@$2" '+%Y %b %-d %H:%M:%S UTC')
    LC_ALL=C TZ=UTC zipinfo -v "$1" | sed -n 's/^ *file last modified on (\(DOS\|UT\)[^:]*: *//p' |
        grep -v ' local$' | sort | uniq -c | xargs | grep -qxF "3 $dos 3 $ut" ||
        { echo "$1 is not dated $dos (DOS) and $ut throughout:"; LC_ALL=C TZ=UTC zipinfo -T "$1"
          return 1; }
}

# check ZIP: the download as a user unpacks it. Exactly the files a user should get, side by side
# in one folder, dated by the commit; the text in CR LF, the manual the README of the source;
# VERSION.txt naming the version and HEAD, unmarked; the exe as pe-check.sh wants it, naming them.
check() {
    local zip=$1 dir=$work/unpacked/$name
    (cd "$(dirname "$zip")" && sha256sum --quiet -c "$name.zip.sha256") ||
        { echo "$name.zip.sha256 does not pass"; return 1; }
    local files
    files=$(printf "$name/%s\n" README.txt VERSION.txt factorial.exe | sort)
    [ "$(unzip -Z1 "$zip" | sort)" = "$files" ] ||
        { echo "the zip holds: $(unzip -Z1 "$zip" | xargs), expected: $(echo $files)"; return 1; }
    dates "$zip" "$date" || return 1
    rm -rf "$work/unpacked" && unzip -q "$zip" -d "$work/unpacked"
    sed 's/$/\r/' "$src/README.md" | cmp - "$dir/README.txt" ||
        { echo "README.txt is not README.md in CR LF"; return 1; }
    printf 'factorial %s\r\ncommit %s\r\n' "$version" "$commit" | cmp - "$dir/VERSION.txt" ||
        { echo "VERSION.txt:"; cat -A "$dir/VERSION.txt"; return 1; }
    local status=0
    bash "$src/tests/pe-check.sh" "$target" "$dir/factorial.exe" "$version" "$commit" || status=$?
    [ $status = 3 ] && exit 3 # a tool is missing, as pe-check.sh said
    [ $status = 0 ] || { echo "factorial.exe in the zip fails the check above"; return 1; }
}
[ -f "$build/$name.zip" ] ||
    fail "no $name.zip in $build; there: $(ls "$build" 2>/dev/null | grep zip | xargs)"
check "$build/$name.zip" || fail "$name.zip is not as a user should get it"
dates "$build/$name.zip" $((date + 2)) >/dev/null && fail "the dates pass for another date"

# Packed again from an export of the commit, made into a git repository of its own (as one kept
# in another project would be), in another folder, by another user, with another umask, time zone
# and an empty SOURCE_DATE_EPOCH, in an environment that asks for other flags, finds the
# posix-thread MinGW compilers under the plain names and points git elsewhere: the same bytes.
git -C "$src" archive --prefix=source/ HEAD | tar -x -C "$work"
git -C "$work/source" init -q && git -C "$work/source" add -A &&
    git -C "$work/source" -c user.name=vendor -c user.email=vendor@example.org commit -qm vendored
mkdir "$work/posix"
for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    ln -s "/usr/bin/$triple-g++-posix" "$work/posix/$triple-g++"
done
as=(env)
who="this user (not root, so no other user can pack)"
if [ "$(id -u)" = 0 ]; then
    chown -R 4242:4242 "$work/source"
    as=(setpriv --reuid=4242 --regid=4242 --clear-groups env HOME="$work/source")
    who="user 4242"
fi
in_source() { # in_source COMMAND: runs COMMAND in the export, as the other user, in that setting
    (cd "$work/source" && "${as[@]}" TZ=Asia/Tokyo SOURCE_DATE_EPOCH= PATH="$work/posix:$PATH" \
        CXXFLAGS=-fno-omit-frame-pointer CPPFLAGS=-DFACTORIAL_OTHER RCFLAGS=--language=0x407 \
        LDFLAGS=-Wl,--disable-dynamicbase GIT_DIR="$src/.git" GIT_WORK_TREE="$src" \
        bash -c "umask 077 && $1") >"$work/log" 2>&1
}
in_source "cmake --preset windows-$target && cmake --build --preset windows-$target &&
    cpack --preset windows-$target" ||
    { tail -n 20 "$work/log"; fail "packing again from an export failed"; }
again=$work/source/build/windows-$target

# same A B: the zip and its checksum in folder A are byte for byte those in folder B.
same() {
    local file
    for file in "$name.zip" "$name.zip.sha256"; do
        cmp -s "$1/$file" "$2/$file" && continue
        if command -v diffoscope >/dev/null; then
            diffoscope "$1/$file" "$2/$file" | head -n 40 || true
        else
            cmp -l "$1/$file" "$2/$file" | head -n 20 || true
        fi
        echo "$file differs"
        return 1
    done
}
same "$build" "$again" ||
    fail "$name.zip packed again from an export by $who differs from the one the workflow packed"
# The comparison sees one byte changed in the zip packed again.
mkdir "$work/differs" && cp "$again/$name.zip" "$again/$name.zip.sha256" "$work/differs"
printf 'X' | dd of="$work/differs/$name.zip" bs=1 seek=100 conv=notrunc status=none
same "$build" "$work/differs" >/dev/null && fail "the comparison misses a changed byte"

# SOURCE_DATE_EPOCH dates the files, at either end of what a zip dates faithfully.
for epoch in 315576060 4294967295; do
    in_source "SOURCE_DATE_EPOCH=$epoch cpack --preset windows-$target" &&
        dates "$again/$name.zip" "$epoch" ||
        { tail -n 20 "$work/log"; fail "SOURCE_DATE_EPOCH=$epoch does not date the files"; }
done

# stops WHAT PATTERN DIR COMMAND: COMMAND, run in DIR (by in_source for the export), stops saying
# PATTERN (in a message CMake may have wrapped), and leaves no download in DIR's build folder.
stops() {
    local status=0 log=$work/log
    if [ "$3" = "$work/source" ]; then
        in_source "$4" || status=$?
    else
        (cd "$3" && bash -c "$4") >"$log" 2>&1 || status=$?
    fi
    [ $status != 0 ] || { tail -n 20 "$log"; echo "$1: went on"; return 1; }
    tr -s ' \n' ' ' <"$log" | grep -q "$2" ||
        { tail -n 20 "$log"; echo "$1: stopped, but did not say '$2'"; return 1; }
    [ -z "$(ls "$3/build/windows-$target" 2>/dev/null | grep zip)" ] ||
        { echo "$1: left $(ls "$3/build/windows-$target" | grep zip | xargs)"; return 1; }
}
range="from 315576060 to 4294967295"
pack="cpack --preset windows-$target"
while IFS='|' read -r what pattern command; do
    stops "$what" "$pattern" "$work/source" "$command" </dev/null || fail "packing went on"
done <<ROWS
SOURCE_DATE_EPOCH before what a zip dates|$range|SOURCE_DATE_EPOCH=315576059 $pack
SOURCE_DATE_EPOCH past what a zip dates|$range|SOURCE_DATE_EPOCH=4294967296 $pack
SOURCE_DATE_EPOCH not a number|not a whole number|SOURCE_DATE_EPOCH=1e9 $pack
strip-nondeterminism failing|strip-nondeterminism failed|$pack -D CPACK_STRIP_NONDETERMINISM=false
ROWS
stops "SOURCE_DATE_EPOCH not a number, for another stop" "$range" "$work/source" \
    "SOURCE_DATE_EPOCH=1e9 $pack" >/dev/null && fail "a stop passes for another"
stops "a packing that works" "" "$work/source" "$pack" >/dev/null &&
    fail "a packing that went on passes for a stop"
# An archive of a tree names no commit, nor does a folder inside another checkout: configure stops
# and says what to do.
git init -q "$work/outer" &&
    git -C "$work/outer" -c user.name=o -c user.email=o@example.org commit -q --allow-empty -m o
git -C "$src" archive --prefix=tree/ "HEAD^{tree}" | tar -x -C "$work/outer"
stops "a source that names no commit" "build from a git clone, or from an unpacked" \
    "$work/outer/tree" "cmake --preset windows-$target" || fail "configure went on"
# In a clone, git's environment pointing at another repository does not move the lookup.
git clone -q "$src" "$work/clone"
(cd "$work/clone" && GIT_DIR="$work/source/.git" GIT_WORK_TREE="$work/source" \
    GIT_INDEX_FILE="$work/index" cmake --preset "windows-$target") >"$work/log" 2>&1 ||
    { tail -n 20 "$work/log"; fail "configure failed in a clone"; }
named=$(cat "$work/clone/build/windows-$target/source-commit.txt")
[[ $named =~ ^$commit\ [0-9]+$ ]] || fail "with GIT_DIR set elsewhere, a clone names: $named"
# A clone that git refuses to read (to root, one that another user owns) cannot name its commit:
# configure stops with git's message. The host's git settings stay out of it.
if [ "$(id -u)" = 0 ]; then
    rm -rf "$work/clone/build" && chown -R 4242:4242 "$work/clone"
    stops "a clone git refuses to read" "dubious ownership" "$work/clone" \
        "GIT_CONFIG_GLOBAL=/dev/null GIT_CONFIG_NOSYSTEM=1 cmake --preset windows-$target" ||
        fail "configure went on"
fi

# Files that are not the commit's give a download marked as modified, which the check refuses.
in_source "echo >>HACKING.md && cmake --build --preset windows-$target && $pack" ||
    { tail -n 20 "$work/log"; fail "packing a changed export failed"; }
check "$again/$name.zip" >"$work/marked.log" 2>&1 &&
    fail "the check passes a changed export's download"
grep -q '^modified' "$work/marked.log" ||
    { cat "$work/marked.log"; fail "a changed export's download is not marked as modified"; }

echo "$target: $name.zip is as a user should get it, names commit $commit, and packed again" \
    "from an export by $who, in another folder, umask 077, TZ=Asia/Tokyo, is byte for byte the" \
    "same: $(cut -d' ' -f1 "$build/$name.zip.sha256")"
