#!/usr/bin/env bash
# The release command: both Windows downloads of a commit into dist/, with a record of what built
# them. HACKING.md, "The downloads", says what it does and why.
set -euo pipefail
fail() { echo "release: $*" >&2; exit 1; }
trap 'fail "it stopped at line $LINENO of tools/release.sh"' ERR
usage="usage: bash tools/release.sh [--export DIR] [COMMIT], at the top of a checkout"
export_to=
[ "${1:-}" != --export ] || { [ $# -ge 2 ] || fail "$usage"; export_to=$2; shift 2; }
[ $# -le 1 ] && [[ ${1:-} != -* ]] || fail "$usage"
name=${1:-HEAD}

# The checkout is read as its owner's git reads it, but for what would run a program of its
# config (core.fsmonitor) or make a name resolve to another commit (grafts, replace refs).
export PATH=/usr/bin:/bin LC_ALL=C.UTF-8 GIT_NO_REPLACE_OBJECTS=1 GIT_GRAFT_FILE=/nonexistent
umask 022
git --version >/dev/null 2>&1 || fail "git is not installed"
top=$(git rev-parse --show-toplevel 2>&1) || fail "${top%%$'\n'*}"
[ "$top" = "$(pwd -P)" ] || fail "run it at the top of the checkout, $top"
said=$(git -c core.warnAmbiguousRefs=true rev-parse --verify "$name^{commit}" 2>&1) || {
    [ -n "$(git for-each-ref --count=1)" ] || fail "this folder has no commit yet"
    fail "'$name' names no commit"
}
[[ $said != *"is ambiguous"* ]] ||
    fail "'$name' is ambiguous: name it as refs/heads/$name or refs/tags/$name"
commit=${said##*$'\n'}
objects=$(git rev-parse --path-format=absolute --git-path objects)
format=$(git rev-parse --show-object-format)
[ -z "$(git -c core.fsmonitor=false --no-optional-locks status --porcelain -uno)" ] || echo \
    "release: this checkout has changes to tracked files; they are not released, $commit is" >&2

# Nothing of the caller's environment reaches what follows, and no git setting of the checkout's.
work=$(mktemp -d --tmpdir factorial-release.XXXXXX) ||
    fail "no temporary folder in ${TMPDIR:-/tmp}"
clean=(/usr/bin/env -i PATH=/usr/bin:/bin LC_ALL=C.UTF-8 TZ=UTC HOME="$work/home"
    TMPDIR="$work/tmp")
git=("${clean[@]}" GIT_CONFIG_NOSYSTEM=1 GIT_ATTR_NOSYSTEM=1 GIT_NO_REPLACE_OBJECTS=1 git
    --git-dir="$work/git")
source=${export_to:-$work/source} made= new_dist= moved=() passed=
leave() { # every process of this run and every file, but those of a release that passed
    set +e
    trap - ERR
    trap '' INT TERM HUP PIPE
    # What this run started works in its folder, wine's server and programs too, which are
    # sessions of their own and restart each other until all are gone.
    for _ in {1..50}; do
        pids=$(for proc in /proc/[0-9]*; do
            [[ $(readlink "$proc/cwd") != "$work"/* ]] || echo "${proc#/proc/}"; done)
        [ -n "$pids" ] && kill -KILL $pids && sleep 0.2 || break
    done
    rm -rf "$work" ${made:+"$source"}
    [ -n "$passed" ] || rm -f "${moved[@]}"
    [ -z "$new_dist" ] || rmdir dist 2>/dev/null || true
}
trap leave EXIT
mkdir "$work/home" "$work/tmp"
"${clean[@]}" git init -q --bare --object-format="$format" "$work/git"
echo "$objects" >"$work/git/objects/info/alternates"
[ -z "$("${git[@]}" rev-list --objects --missing=print "$commit^{tree}" | grep '^?')" ] ||
    fail "this clone lacks files of $commit: git archive $commit >/dev/null fetches them"
mkdir "$source" && made=1 && "${git[@]}" archive "$commit" |
    "${clean[@]}" tar -x --touch --no-same-permissions -C "$source" ||
    fail "exporting $commit failed"
[ -f "$source/tools/toolchain.txt" ] || fail "$commit is older than this release command, which" \
    "needs its tools/toolchain.txt: release it with its own (git checkout $commit)"

# The pinned toolchain, against the one installed: a rebuilder may still want the zips.
built=
while IFS== read -r package version; do
    have=$(dpkg-query -W -f='${db:Status-Abbrev}${Version}' "$package" 2>/dev/null |
        sed -n 's/^ii *//p')
    [ "$have" = "$version" ] || echo "release: $package is ${have:-not installed} here, pinned" \
        "$version (tools/toolchain.txt); the zips may differ from the downloads" >&2
    built+=$'\n'" $package (= ${have:-none}),"
done < <(grep -v '^#' "$source/tools/toolchain.txt")
date=$("${git[@]}" log -1 --format=%ct "$commit")
"${clean[@]}" cmake -D date="$date" -P "$source/cmake/package-date.cmake" >/dev/null 2>&1 ||
    fail "commit $commit is dated $(date -u -d "@$date" '+%F %T UTC'), which a zip cannot date" \
        "(cmake/package-date.cmake): commit it again with the clock right, and release that"
[ -z "$export_to" ] || { made= passed=1; exit 0; }
cp /bin/true "$work/tmp/probe" && "$work/tmp/probe" 2>/dev/null ||
    fail "programs cannot run in ${TMPDIR:-/tmp}: set TMPDIR to a folder where they can"
free=$(($(df --output=avail -m "$work" | tail -n 1)))
[ "$free" -ge 3000 ] || echo "release: ${TMPDIR:-/tmp} has $free MB free, and a release needs" \
    "about 3 GB there; TMPDIR names another folder" >&2

# Each step runs in a session of its own, which a signal stops whole. A test step that did not
# run every test packs nothing, whatever its status.
quit() {
    for pid in $(jobs -p); do kill -TERM -- "-$pid" "$pid" 2>/dev/null; done
    echo "release: interrupted by SIG$1; nothing of this run is left" >&2
    exit $((128 + $(kill -l "$1")))
}
for signal in INT TERM HUP; do trap "quit $signal" $signal; done
step() { (cd "$source" && exec setsid "${clean[@]}" "$@") & wait $!; }
skips=
for target in x86 x64; do
    preset=windows-$target results=$work/$target.xml
    step cmake --preset $preset && step cmake --build --preset $preset &&
        step ctest --preset $preset --output-junit "$results" || fail "the $preset workflow failed"
    ran=$(grep -cE '<testcase .* status="(run|notrun)"' "$results" || true)
    tests=$(cd "$source" && "${clean[@]}" ctest --preset $preset -N |
        sed -n 's/^Total Tests: //p')
    [ "$ran" = "$tests" ] ||
        fail "the $preset suite ran $ran of its $tests tests; nothing is packed"
    step cpack --preset $preset || fail "packing the $preset zip failed"
    skipped=$(grep -c 'status="notrun"' "$results" || true)
    why=$(sed -n '/status="notrun"/,/<\/testcase>/{/<system-out>/{s/.*<system-out>//p;q}}' \
        "$results")
    [ "$skipped" = 0 ] ||
        skips+=$'\n'"release: $skipped of $preset's $tests tests were skipped here: $why"
done

# Into dist/ last, the record with the zips. Each file there is listed as it goes in, and taken
# out again should anything after it fail.
zips=("$source"/build/windows-{x86,x64}/factorial-*.zip)
version=${zips[0]##*/factorial-} && version=${version%-windows-*}
record=$work/factorial-$version.buildinfo
{
    printf 'Source: factorial\nVersion: %s\nCommit: %s\nChecksums-Sha256:\n' "$version" "$commit"
    for zip in "${zips[@]}"; do
        echo " $(cut -d' ' -f1 "$zip.sha256") $(stat -c %s "$zip") ${zip##*/}"
    done
    echo "Installed-Build-Depends:${built%,}"
} >"$record"
[ -d dist ] || new_dist=1
for file in "${zips[@]}" "${zips[@]/%/.sha256}" "$record"; do
    mkdir -p dist && moved+=("dist/${file##*/}") && cp -T "$file" "dist/${file##*/}" ||
        fail "copying ${file##*/} into dist/ failed; no file of this run is left there"
done
for zip in "${zips[@]##*/}"; do
    echo "dist/$zip: commit $commit, SHA-256 $(cut -d' ' -f1 "dist/$zip.sha256")"
done && echo "dist/${record##*/}: what built them$skips" ||
    fail "writing its closing lines failed; no file of this run is left in dist/"
passed=1
