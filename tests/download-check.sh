#!/usr/bin/env bash
# Checks the Windows download for TARGET as a user receives it, after its workflow has packed it
# into build/windows-TARGET/, and that anyone packs the same bytes from the same commit:
#   download-check.sh x86|x64
# The expectations come from the product, not from the build: the download's name from the
# README, the commit from git, the exe's headers from pe-check.sh for the target named here.
set -euo pipefail
target=$1
src=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n "s/.*factorial-\([0-9.]*\)-windows-$target\.zip.*/\1/p" "$src/README.md" |
    head -n 1)
commit=$(git -C "$src" rev-parse HEAD)
[ -n "$version" ] || { echo "README.md names no factorial-VERSION-windows-$target.zip"; exit 1; }
name=factorial-$version-windows-$target
build=$src/build/windows-$target
work=$(mktemp -d)
chmod 755 "$work" # for the other user
trap 'rm -rf "$work"' EXIT
fail() { echo "$target: $*"; exit 1; }

# The zip and its checksum, under the names the README gives.
[ -f "$build/$name.zip" ] ||
    fail "no $name.zip in $build; there: $(ls "$build" 2>/dev/null | grep zip | xargs)"
(cd "$build" && sha256sum --quiet -c "$name.zip.sha256") || fail "$name.zip.sha256 does not pass"

# Exactly the files a user should get, side by side in one folder; the text in CR LF, the README
# the one in the source, and VERSION.txt naming the version and the commit.
expected=$(printf "$name/%s\n" README.md VERSION.txt factorial.exe | sort)
[ "$(unzip -Z1 "$build/$name.zip" | sort)" = "$expected" ] ||
    fail "the zip holds: $(unzip -Z1 "$build/$name.zip" | xargs), expected: $(echo $expected)"
unzip -q "$build/$name.zip" -d "$work/unpacked"
dir=$work/unpacked/$name
sed 's/$/\r/' "$src/README.md" | cmp - "$dir/README.md" ||
    fail "README.md is not the README in CR LF"
printf 'factorial %s\r\ncommit %s\r\n' "$version" "$commit" | cmp - "$dir/VERSION.txt" ||
    fail "VERSION.txt: $(od -c "$dir/VERSION.txt" | head -n 4)"
bash "$src/tests/pe-check.sh" x86_64-w64-mingw32-objdump x86_64-w64-mingw32-windres \
    "$dir/factorial.exe" "$target" "$commit" ||
    fail "factorial.exe in the zip fails the check above"

# Packed again from an export of the commit (no .git), in another folder, by another user, with
# another umask, time zone and an empty SOURCE_DATE_EPOCH: the same bytes.
git -C "$src" archive --prefix=source/ HEAD | tar -x -C "$work"
as=(env)
who="this user (not root, so no other user can pack)"
if [ "$(id -u)" = 0 ]; then
    chown -R 4242:4242 "$work/source"
    as=(setpriv --reuid=4242 --regid=4242 --clear-groups env HOME="$work/source")
    who="user 4242"
fi
(cd "$work/source" && "${as[@]}" TZ=Asia/Tokyo SOURCE_DATE_EPOCH= bash -c "umask 077 &&
    cmake --preset windows-$target && cmake --build --preset windows-$target &&
    cpack --preset windows-$target") >"$work/repack.log" 2>&1 ||
    { tail -n 20 "$work/repack.log"; fail "packing again from an export failed"; }
again=$work/source/build/windows-$target
for file in "$name.zip" "$name.zip.sha256"; do
    if ! cmp -s "$build/$file" "$again/$file"; then
        if command -v diffoscope >/dev/null; then
            diffoscope "$build/$file" "$again/$file" || true
        else
            cmp -l "$build/$file" "$again/$file" | head -n 20 || true
        fi
        fail "$file packed again from an export by $who differs from the one the workflow packed"
    fi
done
# A clone that git refuses to read (to root, one that another user owns) cannot name its commit:
# configure stops with git's message, and packs nothing. The host's git settings stay out of it.
if [ "$(id -u)" = 0 ]; then
    git clone -q "$src" "$work/clone" && chown -R 4242:4242 "$work/clone"
    if (cd "$work/clone" && GIT_CONFIG_GLOBAL=/dev/null GIT_CONFIG_NOSYSTEM=1 \
        cmake --preset "windows-$target") >"$work/refused.log" 2>&1 ||
        ! grep -q "dubious ownership" "$work/refused.log"; then
        tail -n 20 "$work/refused.log"
        fail "configure went on in a clone that git refuses to read"
    fi
fi
echo "$target: $name.zip is as a user should get it, names commit $commit, and packed again" \
    "from an export by $who, in another folder, umask 077, TZ=Asia/Tokyo, is byte for byte the" \
    "same: $(cut -d' ' -f1 "$build/$name.zip.sha256")"
