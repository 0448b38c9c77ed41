#!/usr/bin/env bash
# The release command: both Windows downloads of a commit into dist/, with a record of what built
# them. HACKING.md, "The downloads", says what it does, and what each way it can end leaves.
set -euo pipefail
fail() { echo "release: $*" >&2; exit 1; }
trap 'fail "it stopped at line $LINENO of tools/release.sh"' ERR
# A step is an unshare whose child is the first process of a PID namespace: when that process
# ends, the kernel ends every other one of the namespace, wine's daemons too.
step=
quit() { # quit SIGNAL
    set +e && trap - ERR && trap '' INT TERM HUP
    [ -z "$step" ] || { child=$(<"/proc/$step/task/$step/children")
        kill -KILL "${child%% *}" || kill -KILL "$step"; wait "$step"; } 2>/dev/null
    echo "release: interrupted by SIG$1; nothing of this run is left, and dist/ is as it was" >&2
    exit $((128 + $(kill -l "$1")))
}
# shellcheck disable=SC2064 # the signal's name, now
for signal in INT TERM HUP; do trap "quit $signal" "$signal"; done
trap : PIPE # a closed output is a failed write, which is reported, rather than a silent end
usage="usage: bash tools/release.sh [--export DIR] [COMMIT], at the top of a checkout"
export_to=
[ "${1-}" != --export ] || { [ -n "${2-}" ] || fail "$usage"; export_to=$2 && shift 2; }
{ [ $# -le 1 ] && [[ ${1-HEAD} =~ ^[^-] ]]; } || fail "$usage"
name=${1-HEAD}

# The checkout it runs in, read as its owner's git reads it, but for the caller's repository
# variables and what would make a name resolve to another commit (grafts, replace refs).
export PATH=/usr/bin:/bin LC_ALL=C.UTF-8
umask 022
git --version >/dev/null 2>&1 || fail "git is not installed"
# shellcheck disable=SC2046 # a name a line
unset $(git rev-parse --local-env-vars)
export GIT_NO_REPLACE_OBJECTS=1 GIT_GRAFT_FILE=/nonexistent
top=$(git rev-parse --show-toplevel 2>&1) || fail "${top%%$'\n'*}"
[ "$top" = "$(pwd -P)" ] || fail "run it at the top of the checkout, $top"
{ said=$(git -c core.warnAmbiguousRefs=true rev-parse --verify "$name" 2>&1) &&
    commit=$(git rev-parse --verify -q "${said##*$'\n'}^{commit}"); } || {
    [ -n "$(git for-each-ref --count=1)" ] || fail "this folder has no commit yet"
    fail "'$name' names no commit"
}
[[ $said != *"is ambiguous"* ]] ||
    fail "'$name' is ambiguous: name it as refs/heads/$name or refs/tags/$name"
head=$(git rev-parse --verify -q HEAD) || head=
objects=$(git rev-parse --path-format=absolute --git-path objects)
format=$(git rev-parse --show-object-format)

# Nothing of the caller's environment reaches what follows, and no git setting of the checkout's.
{ tmp=$(realpath -e "${TMPDIR:-/tmp}" 2>/dev/null) &&
    work=$(mktemp -d -p "$tmp" factorial-release.XXXXXX); } ||
    fail "no temporary folder in ${TMPDIR:-/tmp}"
clean=(/usr/bin/env -i --default-signal PATH=/usr/bin:/bin LC_ALL=C.UTF-8 TZ=UTC
    HOME="$work/home" TMPDIR="$work/tmp")
git=("${clean[@]}" GIT_CONFIG_NOSYSTEM=1 GIT_ATTR_NOSYSTEM=1 GIT_NO_REPLACE_OBJECTS=1
    GIT_INDEX_FILE="$work/index" git --git-dir="$work/git" --work-tree="$top")
source=${export_to:-$work/source} made='' stage='' new_dist='' published=''
leave() { # all that this run made, but what it published
    set +e && trap - ERR && trap '' INT TERM HUP
    rm -rf "$work" ${made:+"$source"} ${stage:+"$stage"}
    [ -z "$new_dist" ] || [ -n "$published" ] || rmdir dist
}
trap leave EXIT
mkdir "$work/home" "$work/tmp"
"${clean[@]}" git init -q --bare --object-format="$format" "$work/git"
echo "$objects" >"$work/git/objects/info/alternates"
if "${git[@]}" rev-list --objects --missing=print "$commit^{tree}" | grep '^?' >/dev/null; then
    fail "this clone lacks files of $commit: git archive $commit >/dev/null fetches them"
fi
# The files against HEAD's, each read afresh, as no filter of the checkout's runs.
[ -z "$head" ] || { "${git[@]}" read-tree "$head" && "${git[@]}" update-index --refresh; } \
    >/dev/null || echo "release: this checkout has changes to tracked files; they are not" \
    "released, $commit is" >&2
{ mkdir "$source" && made=1 && "${git[@]}" archive "$commit" |
    "${clean[@]}" tar -x --touch --no-same-permissions -C "$source"; } ||
    fail "exporting $commit failed"
[ -f "$source/tools/toolchain.txt" ] || fail "$commit is older than this release command, which" \
    "needs its tools/toolchain.txt: release it with its own (git checkout $commit)"

pinned=$(grep -v '^#' "$source/tools/toolchain.txt" | sort)
# shellcheck disable=SC2046 # a package a word
installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}=${Version}\n' \
    $(cut -d= -f1 <<<"$pinned") 2>/dev/null | sed -n 's/^ii  //p' | sort || true)
[ "$installed" = "$pinned" ] || echo "release: the toolchain here is not the one" \
    "tools/toolchain.txt pins: here $(comm -13 <(echo "$pinned") <(echo "$installed") | xargs)," \
    "pinned $(comm -23 <(echo "$pinned") <(echo "$installed") | xargs); the zips may differ" \
    "from the downloads" >&2
read -r _ date <"$source/cmake/export-commit.txt"
said=$("${clean[@]}" cmake -D date="$date" -P "$source/cmake/package-date.cmake" 2>&1) || {
    [[ $said == *"(message):"* ]] || fail "checking the commit's date failed: ${said%%$'\n'*}"
    fail "commit $commit is $(tr -s ' \n' ' ' <<<"${said#*(message):}" | sed 's/^ //; s/ $//')"
}
[ -z "$export_to" ] || { made= && exit 0; }
{ cp /bin/true "$work/tmp/probe" && "$work/tmp/probe" 2>/dev/null; } ||
    fail "programs cannot run in $tmp: set TMPDIR to a folder where they can"
free=$(($(df --output=avail -m "$work" | tail -n 1)))
[ "$free" -ge 3000 ] || echo "release: $tmp has $free MB free, and a release needs about 3 GB" \
    "there; TMPDIR names another folder" >&2
ns=(setpriv --pdeathsig KILL unshare --pid --fork --kill-child --mount-proc)
[ "$(id -u)" = 0 ] || ns+=(--map-current-user)
"${ns[@]}" true 2>/dev/null || fail "this host does not let it start a PID namespace" \
    "(unshare --pid): run it as root, or where unprivileged user namespaces are allowed"

# Each step in a session and a PID namespace of its own, ended with the release, even by SIGKILL.
# A test step that did not run every test packs nothing, whatever its status.
run() {
    (cd "$source" && exec "${ns[@]}" setsid -w "${clean[@]}" "$@") &
    step=$!
    wait $step || { step= && return 1; }
    step=
}
skips=
for target in x86 x64; do
    preset=windows-$target results=$work/$target.xml
    { run cmake --preset $preset && run cmake --build --preset $preset &&
        run ctest --preset $preset -LE release --output-junit "$results"; } ||
        fail "the $preset workflow failed"
    ran=$(grep -cE '<testcase .* status="(run|notrun)"' "$results" || true)
    tests=$(cd "$source" && "${clean[@]}" ctest --preset $preset -LE release -N |
        sed -n 's/^Total Tests: //p')
    [ "$ran" = "$tests" ] ||
        fail "the $preset suite ran $ran of its $tests tests; nothing is packed"
    run cpack --preset $preset || fail "packing the $preset zip failed"
    skipped=$(grep -c 'status="notrun"' "$results" || true)
    why=$(sed -n '/status="notrun"/,/<\/testcase>/{/<system-out>/{s/.*<system-out>//p;q}}' \
        "$results")
    [ "$skipped" = 0 ] ||
        skips+=$'\n'"release: $skipped of $preset's $tests tests were skipped here: $why"
done

zips=("$source"/build/windows-{x86,x64}/factorial-*.zip)
version=${zips[0]##*/factorial-} && version=${version%-windows-*}
record=$work/factorial-$version.buildinfo
{
    printf 'Format: 1.0\nSource: factorial\nVersion: %s\nCommit: %s\n' "$version" "$commit"
    echo "Build-Architecture: $(dpkg --print-architecture 2>/dev/null || uname -m)"
    echo "Checksums-Sha256:"
    for zip in "${zips[@]}"; do
        echo " $(cut -d' ' -f1 "$zip.sha256") $(stat -c %s "$zip") ${zip##*/}"
    done
    echo "Installed-Build-Depends:"
    sed 's/^\([^=]*\)=\(.*\)/ \1 (= \2),/; $s/,$//' <<<"$installed"
} >"$record"
# Staged in dist/, then renamed into place with the signals held: dist/ holds this version's
# earlier files or this run's, never a mix, and every other file as it was.
files=("${zips[@]}" "${zips[@]/%/.sha256}" "$record")
[ -d dist ] || new_dist=1
{ mkdir -p dist && stage=$(mktemp -d -p dist .factorial-release.XXXXXX) &&
    cp "${files[@]}" "$stage"; } || fail "copying the downloads into dist/ failed; it is as it was"
for file in "${files[@]##*/}"; do
    [ ! -d "dist/$file" ] || fail "dist/$file is a folder, where a download goes; dist/ is as" \
        "it was"
done
trap '' INT TERM HUP
for file in "${files[@]##*/}"; do mv -f "$stage/$file" "dist/$file"; done
published=1
{
    for zip in "${zips[@]##*/}"; do
        echo "dist/$zip: commit $commit, SHA-256 $(cut -d' ' -f1 "dist/$zip.sha256")"
    done
    echo "dist/${record##*/}: what built them$skips"
} 2>/dev/null || fail "dist/ holds the downloads of $commit, but its closing lines could not be" \
    "written"
