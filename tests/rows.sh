#!/usr/bin/env bash
# Rows of a table, as git's test suite has them: `row TITLE BODY` runs BODY in a subshell, in a
# folder of its own, under set -e, so that the first command that fails ends it and is named; its
# last lines are what it expects. `fails CMD...` must fail, and `says PATTERN` reads what it said.
# A row that is not as expected shows what it printed; every row runs, and $rows and $bad count
# them. download-check.sh reads this; `rows.sh SOURCE BUILD BODY` is a row of tests/CMakeLists.txt,
# on the Windows build BUILD of SOURCE, with the helpers below.
rows=0 bad=0
fails() {
    local status=0
    "$@" >"$said" 2>&1 || status=$?
    cat "$said"
    [ $status != 77 ] || exit 77 # it cannot run on this host
    [ $status != 0 ] || { echo "row: it went on"; return 1; }
}
says() { tr -s ' \n' ' ' <"$said" | grep -q -- "$1"; } # in lines a tool may have wrapped
row() {
    local dir
    dir=$(mktemp -d) status=0 rows=$((rows + 1))
    (cd "$dir" && said=$dir.said && set -e && trap 'echo "row: failed: $BASH_COMMAND"' ERR &&
        eval "$2") >"$dir.log" 2>&1 &
    wait $! || status=$?
    [ $status = 0 ] || cat "$dir.log"
    [ $status = 0 ] || [ $status = 77 ] || { bad=$((bad + 1)) && echo "not as expected: $1"; }
    rm -rf "$dir" "$dir.log" "$dir.said"
}
# dated ZIP EPOCH: every entry of ZIP is dated EPOCH in UTC, in the DOS field (to the even second
# below, all it holds) and in the extended timestamp.
dated() {
    local dos ut
    dos=$(LC_ALL=C date -u -d "@$(($2 - $2 % 2))" '+%Y %b %-d %H:%M:%S')
    ut=$(LC_ALL=C date -u -d "@$2" '+%Y %b %-d %H:%M:%S UTC')
    LC_ALL=C TZ=UTC zipinfo -v "$1" | sed -n 's/^ *file last modified on (\(DOS\|UT\)[^:]*: *//p' |
        grep -v ' local$' | sort | uniq -c | xargs | grep -qxF "3 $dos 3 $ut" ||
        { echo "$1 is not dated $dos (DOS) and $ut throughout:"; LC_ALL=C TZ=UTC zipinfo -T "$1"
          return 1; }
}
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; } # the build's setting VAR
pack() { cpack --config "$build/CPackConfig.cmake" -B "$PWD/pack" "$@"; }
unfilled() { mkdir -p "$1/cmake" && echo '$Format:%H %ct$' >"$1/cmake/export-commit.txt"; }
named() { # named DIR [PREFIX...]: packs what a build of DIR names, run by PREFIX
    "${@:2}" "$(command -v cmake)" -D source_dir="$1" -D binary_dir="$PWD/named" -D version=1.0.0 \
        -D manifest="$src/cmake/factorial.exe.manifest" -D name_commit=ON \
        -P "$src/cmake/commit.cmake" && pack -D CPACK_COMMIT_FILE="$PWD/named/commit.txt"
}
without() { # without TOOLS CMD...: CMD where no TOOL can be found
    local userns=(-r)
    [ "$(id -u)" != 0 ] || userns=()
    unshare "${userns[@]}" -m true 2>/dev/null || return 77
    unshare "${userns[@]}" -m bash -c 'for tool in $1; do
        mount --bind /dev/null "$(command -v "$tool")"; done && shift && exec "$@"' - "$@"
}
# The release's rows run at the top of a checkout of SOURCE's files, committed.
checkout() {
    mkdir co && tar -C "$src" --exclude=./.git --exclude=./build --exclude=./dist -c . |
        tar -C co -x && cd co && git init -q && commit
}
commit() { git add -A && git -c user.name=r -c user.email=r@e.org commit -qm r --allow-empty; }
release() { bash tools/release.sh "$@"; }
suite() { printf '%s\n' "$@" >tests/CMakeLists.txt && commit; } # a quicker one, for a release
interrupt() { # interrupt SIGNAL: a release, sent SIGNAL once its tests have started $daemon
    suite "add_test(NAME d COMMAND sh -c \"setsid -f $daemon && touch $PWD/d && sleep 60\")"
    bash tools/release.sh & local pid=$!
    until [ -e d ] || ! kill -0 $pid 2>/dev/null; do sleep 0.1; done
    kill -"$1" $pid
    wait $pid
}
gone() { # no daemon is left some seconds later
    for _ in {1..50}; do pgrep -fx "$daemon" >/dev/null || return 0; sleep 0.2; done
    echo "row: $daemon is left"
    pkill -fx "$daemon" # and holds the row's output open
    return 1
}
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    # shellcheck disable=SC2034 # target and daemon are read by the rows
    src=$1 build=$2 target=$(cache FACTORIAL_WINDOWS_TARGET)
    daemon="sleep 3600.$RANDOM" # a program in a session of its own, as wine's server is
    export GIT_CEILING_DIRECTORIES=${TMPDIR:-/tmp} # what a row makes is in no checkout but its own
    row "this row" "$3"
    exit "$status"
fi
