#!/usr/bin/env bash
# Makes both Windows downloads of COMMIT (an id, a tag or a branch; HEAD by default) into dist/,
# run at the top of a checkout:
#   bash tools/release.sh [COMMIT]
#   bash tools/release.sh --export DIR [COMMIT]    only exports the commit's files into DIR
# Their bytes depend on the commit and the pinned toolchain alone, for nothing of the caller's
# reaches the build: it runs again in an environment of its own, and the source is exported, with
# none of the builder's git settings, into an empty folder of its own.
set -euo pipefail
if [ "${FACTORIAL_RELEASE:-}" != 1 ]; then
    exec env -i FACTORIAL_RELEASE=1 PATH=/usr/bin:/bin LC_ALL=C.UTF-8 TZ=UTC /bin/bash "$0" "$@"
fi
umask 022
export GIT_CONFIG_NOSYSTEM=1 GIT_ATTR_NOSYSTEM=1 GIT_NO_REPLACE_OBJECTS=1 HOME=/nonexistent
fail() { echo "release: $*" >&2; exit 1; }
export_to=
[ "${1:-}" != --export ] || { export_to=$2; shift 2; }
name=${1:-HEAD}
git --version >/dev/null 2>&1 || fail "git is not installed"
top=$(git rev-parse --show-toplevel 2>&1) || fail "${top%%$'\n'*}"
[ "$top" = "$(pwd -P)" ] || fail "run it at the top of the checkout, $top"
commit=$(git rev-parse -q --verify --end-of-options "$name^{commit}") || {
    git rev-parse -q --verify HEAD >/dev/null || fail "this folder has no commit yet"
    fail "'$name' names no commit"
}

# git archive, in a repository of its own that reads the checkout's objects and nothing else of
# it: no config, info/attributes or replace ref of the checkout's applies.
work=$(mktemp -d /tmp/factorial-release.XXXXXX)
# A dist/ this run made goes again when it is left empty.
made=
trap 'rm -rf "$work" ${staged:+"$staged"}; [ -z "$made" ] || rmdir dist 2>/dev/null || true' EXIT
git init -q --bare --object-format="$(git rev-parse --show-object-format)" "$work/git"
git rev-parse --path-format=absolute --git-path objects >"$work/git/objects/info/alternates"
source=${export_to:-$work/source}
mkdir "$source" && git --git-dir="$work/git" archive "$commit" |
    tar -x --no-same-permissions -C "$source" || fail "exporting $commit failed"
[ -z "$export_to" ] || exit 0

[ -z "$(git --no-optional-locks status --porcelain)" ] ||
    echo "release: this checkout has changes not committed; they are not released, $commit is"
export HOME=$work/home
mkdir "$HOME"
for target in x86 x64; do
    (cd "$source" && cmake --workflow --preset "windows-$target") ||
        fail "the windows-$target workflow failed"
done
# Into dist/ last, and through a folder there, so that a failure leaves no zip of this run.
[ -d dist ] || made=1
mkdir -p dist
staged=$(mktemp -d dist/.release.XXXXXX)
cp "$source"/build/windows-{x86,x64}/factorial-*.zip{,.sha256} "$staged" &&
    sums=$(cat "$staged"/*-x86.zip.sha256 "$staged"/*-x64.zip.sha256) &&
    mv "$staged"/* dist/ || fail "moving the zips into dist/ failed"
while read -r sum zip; do
    echo "dist/$zip: commit $commit, SHA-256 $sum"
done <<<"$sums"
