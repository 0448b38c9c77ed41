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
    setpriv:util-linux strip-nondeterminism:strip-nondeterminism; do
    command -v "${tool%%:*}" >/dev/null || missing+=" ${tool%%:*} (package ${tool#*:})"
done
perl -MArchive::Zip -e 1 2>/dev/null || missing+=" Archive::Zip (package libarchive-zip-perl)"
[ -z "$missing" ] || { echo "download-check.sh needs what is not installed:$missing"; exit 3; }
fail() { echo "$target: $*"; exit 1; }
says() { tr -s ' \n' ' ' <"$1" | grep -q "$2"; } # says LOG PATTERN, in lines CMake may have wrapped

# Every download name in the README: one version, for x86 and x64 alone.
names=$(grep -o 'factorial-[^ `/]*\.zip' "$src/README.md" | sort -u)
version=$(sed -n 's/^factorial-\([0-9.]*\)-windows-x[0-9]*\.zip$/\1/p' <<<"$names" | sort -u)
[ "$(wc -l <<<"$version")" = 1 ] && [ -n "$version" ] ||
    fail "README.md names downloads of versions '$(echo $version)'"
expected=$(printf "factorial-$version-windows-%s.zip\n" x64 x86)
[ "$names" = "$expected" ] ||
    fail "README.md names the downloads $(echo $names), expected $(echo $expected)"
# The commit as git stores it: not another repository's that git's environment points at, not a
# replacement made by git replace, and no signature lines from log.showSignature.
unset $(git rev-parse --local-env-vars)
export GIT_NO_REPLACE_OBJECTS=1
commit=$(git -C "$src" rev-parse --verify HEAD)
tree=$(git -C "$src" rev-parse --verify "HEAD^{tree}")
date=$(git -C "$src" log -1 --no-show-signature --format=%ct HEAD)
[[ $commit =~ ^[0-9a-f]{40}([0-9a-f]{24})?$ && $date =~ ^[0-9]+$ ]] ||
    fail "git names HEAD '$commit', dated '$date'"
name=factorial-$version-windows-$target
build=$src/build/windows-$target
work=$(mktemp -d)
chmod 755 "$work" # for the other user
trap '[ ! -d "$work/gnupg" ] || GNUPGHOME=$work/gnupg gpgconf --kill gpg-agent; rm -rf "$work"' EXIT
# state DIR: each file under DIR with its owner, mode, size and date. The check leaves the
# checkout as it found it, .git and the build folders included, but for the suites' wine prefixes,
# which wine may still be writing to.
state() { find "$1" -path '*/wineprefix' -prune -o -printf '%P %U:%G %m %s %T@\n' | sort; }
found=$(state "$src")

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
# Every comparison runs, and each that fails says so.
check() {
    local zip=$1 dir=$work/unpacked/$name bad=0
    (cd "$(dirname "$zip")" && sha256sum --quiet -c "$name.zip.sha256") ||
        { echo "$name.zip.sha256 does not pass"; bad=1; }
    local files
    files=$(printf "$name/%s\n" README.txt VERSION.txt factorial.exe | sort)
    [ "$(unzip -Z1 "$zip" | sort)" = "$files" ] ||
        { echo "the zip holds: $(unzip -Z1 "$zip" | xargs), expected: $(echo $files)"; bad=1; }
    dates "$zip" "$date" || bad=1
    rm -rf "$work/unpacked" && unzip -q "$zip" -d "$work/unpacked"
    sed 's/$/\r/' "$src/README.md" | cmp - "$dir/README.txt" ||
        { echo "README.txt is not README.md in CR LF"; bad=1; }
    printf 'factorial %s\r\ncommit %s\r\n' "$version" "$commit" | cmp -s - "$dir/VERSION.txt" ||
        { echo "VERSION.txt is not 'factorial $version', 'commit $commit', in CR LF:"
          cat -A "$dir/VERSION.txt"; bad=1; }
    local status=0
    bash "$src/tests/pe-check.sh" "$target" "$dir/factorial.exe" "$version" "$commit" || status=$?
    [ $status = 3 ] && exit 3 # a tool is missing, as pe-check.sh said
    [ $status = 0 ] || { echo "factorial.exe in the zip fails the check above"; bad=1; }
    return $bad
}
[ -f "$build/$name.zip" ] ||
    fail "no $name.zip in $build; there: $(ls "$build" 2>/dev/null | grep zip | xargs)"
check "$build/$name.zip" || fail "$name.zip is not as a user should get it"
# Each fault the check is there for, in a copy of the download, is refused, saying what it is. In
# a row, edit MEMBER PERL runs PERL on the member's content as $_ (undef removes it; a member that
# is not there is added), and seal [EPOCH] dates every entry (by default as the commit) and writes
# the checksum again, so that only the row's fault is left.
edit() {
    perl -MArchive::Zip=:ERROR_CODES -e 'my ($zip, $member, $code) = @ARGV;
        my $z = Archive::Zip->new($zip) or die; my $m = $z->memberNamed($member);
        local $_ = $m ? scalar $z->contents($member) : ""; eval $code; die $@ if $@;
        if (!defined) { $z->removeMember($member) } elsif ($m) { $z->contents($member, $_) }
        else { $z->addString($_, $member) }
        $z->overwrite == AZ_OK or die' "$name.zip" "$name/$1" "$2"
}
seal() {
    strip-nondeterminism --type zip --timestamp "${1:-$date}" "$name.zip" >/dev/null &&
        sha256sum "$name.zip" >"$name.zip.sha256"
}
while IFS='|' read -r what tampering said; do
    rm -rf "$work/tampered" && mkdir "$work/tampered"
    cp "$build/$name.zip" "$build/$name.zip.sha256" "$work/tampered"
    (cd "$work/tampered" && eval "$tampering") || fail "could not make a download with $what"
    check "$work/tampered/$name.zip" >"$work/log" 2>&1 &&
        fail "the check passes a download with $what"
    says "$work/log" "$said" ||
        { cat "$work/log"; fail "a download with $what is refused without saying '$said'"; }
done <<'ROWS'
another checksum|seal && printf '%064d  %s\n' 0 $name.zip >$name.zip.sha256|zip.sha256 does not pass
an extra file|edit extra.txt '$_ = "x"' && seal|the zip holds: .*/extra.txt
a missing file|edit README.txt 'undef $_' && seal|the zip holds: .* README.txt is not README.md
another README.txt|edit README.txt '$_ .= "x\r\n"' && seal|README.txt is not README.md in CR LF
README.txt in LF|edit README.txt 's/\r\n/\n/g' && seal|README.txt is not README.md in CR LF
another commit|edit VERSION.txt 's/commit \K\w+/"0" x 40/e' && seal|VERSION.txt is not
an entry dated otherwise|seal $((date + 2))|is not dated
another import|edit factorial.exe 's/msvcrt\.dll\0/zlib1.dll\0\0/' && seal|zlib1.dll: .* check above
ROWS

# Packed again from an export of the commit, made into a git repository of its own (as one kept
# in another project would be), in another folder, by another user, with another umask, time zone
# and an empty SOURCE_DATE_EPOCH, in an environment that asks for other flags, finds the
# posix-thread MinGW compilers under the plain names, points git elsewhere, has git print
# signatures and filter out a change, and asks CMake to install links: the same bytes. It is packed
# over a build of other files, as an export of a later commit is unpacked over a built one: the
# export is changed, built and packed (a download marked as modified, which the check refuses),
# then unpacked again, its files dated in the past as git archive dates them.
git -C "$src" archive --prefix=source/ -o "$work/source.tar" HEAD
tar -x -C "$work" -f "$work/source.tar"
git -C "$work/source" init -q && git -C "$work/source" add -A &&
    git -C "$work/source" -c user.name=vendor -c user.email=vendor@example.org commit -qm vendored
mkdir "$work/posix"
for triple in i686-w64-mingw32 x86_64-w64-mingw32; do
    ln -s "/usr/bin/$triple-g++-posix" "$work/posix/$triple-g++"
done
token=hidden$RANDOM$RANDOM # in no file of the source
printf '[%s]\n\t%s\n' log 'showSignature = true' core "attributesFile = $work/attributes" \
    'filter "hide"' "clean = sed /$token/d" >"$work/gitconfig"
echo '* filter=hide' >"$work/attributes"
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
        GIT_CONFIG_GLOBAL="$work/gitconfig" CMAKE_INSTALL_MODE=SYMLINK_OR_COPY \
        bash -c "umask 077 && $1") >"$work/log" 2>&1
}
pack="cpack --preset windows-$target"
build_export="cmake --build --preset windows-$target"
unpack_again() { # the export unpacked again over its build, dated in the past, and built
    in_source "tar -x -f ../source.tar --strip-components=1 && $build_export" ||
        { tail -n 20 "$work/log"; fail "building the export unpacked again failed"; }
}
again=$work/source/build/windows-$target
# Each changed line holds the token, for the filter to hide, and each change shows in the
# download. Last, when the build is marked already, the manifest is changed and dated as before:
# the change must still reach the exe.
in_source "echo 'extern \"C\" const int $token = 1;' >>src/main.cpp && echo $token >>README.md &&
    echo 'target_link_options(factorial PRIVATE -Wl,--disable-dynamicbase) # $token' \
        >>CMakeLists.txt && cmake --preset windows-$target && $build_export &&
    sed -i s/asInvoker/requireAdministrator/ cmake/factorial.exe.manifest &&
    touch -d @$date cmake/factorial.exe.manifest && $build_export && $pack" ||
    { tail -n 20 "$work/log"; fail "packing a changed export failed"; }
says "$work/log" "dated otherwise .* src/main.cpp" ||
    { tail -n 20 "$work/log"; fail "the build of a changed export does not name src/main.cpp"; }
check "$again/$name.zip" >"$work/marked.log" 2>&1 &&
    fail "the check passes a changed export's download"
grep -q '^modified' "$work/marked.log" && grep -q "'requireAdministrator'" "$work/marked.log" ||
    { cat "$work/marked.log"; fail "a changed export's download is not marked as modified, or" \
        "has not the changed manifest"; }
unpack_again

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
for mode in SYMLINK_OR_COPY ABS_SYMLINK; do
    in_source "CMAKE_INSTALL_MODE=$mode $pack" ||
        { tail -n 20 "$work/log"; fail "packing again from an export failed"; }
    same "$build" "$again" || fail "$name.zip packed again from an export by $who, with" \
        "CMAKE_INSTALL_MODE=$mode, differs from the one the workflow packed"
done
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
    says "$log" "$2" ||
        { tail -n 20 "$log"; echo "$1: stopped, but did not say '$2'"; return 1; }
    [ -z "$(ls "$3/build/windows-$target" 2>/dev/null | grep zip)" ] ||
        { echo "$1: left $(ls "$3/build/windows-$target" | grep zip | xargs)"; return 1; }
}
range="from 315576060 to 4294967295"
redate="sed -i 's/[0-9]*\$/100/' cmake/export-commit.txt && $build_export" # a commit of 1970
while IFS='|' read -r what pattern command; do
    stops "$what" "$pattern" "$work/source" "$command" </dev/null || fail "packing went on"
done <<ROWS
SOURCE_DATE_EPOCH before what a zip dates|$range|SOURCE_DATE_EPOCH=315576059 $pack
SOURCE_DATE_EPOCH past what a zip dates|$range|SOURCE_DATE_EPOCH=4294967296 $pack
SOURCE_DATE_EPOCH not a number|not a whole number|SOURCE_DATE_EPOCH=1e9 $pack
strip-nondeterminism failing|strip-nondeterminism failed|$pack -D CPACK_STRIP_NONDETERMINISM=false
a commit of 1970|date of commit $commit, 100, but .*$range.* in that range packs|$redate && $pack
ROWS
unpack_again
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
stops "an export naming no commit id" "names is 'abc', not an object id" "$work/outer/tree" \
    "echo 'abc def 1' >cmake/export-commit.txt && cmake --preset windows-$target" ||
    fail "configure went on"
# What a clone names, whatever git's setup: in a fresh clone, each row sets git up, and configure
# must then name what the row expects (made in the clone after the setup), saying what it says;
# a row that needs a tool not installed says it is skipped. The setups: elsewhere points git's
# environment at another repository; filtered has a clean filter delete the lines that hold the
# token, and changed appends one to src/main.cpp; sparse changes a file outside a sparse checkout;
# replaced puts a commit of the changed files in place of HEAD; signed signs a new HEAD, with a key
# of the check's own, and has git log show signatures.
elsewhere() { export GIT_DIR=$work/source/.git GIT_WORK_TREE=$work/source GIT_INDEX_FILE=$work/x; }
filtered() {
    echo '* filter=hide' >.git/info/attributes && git config filter.hide.clean "sed /$token/d"
}
changed() { echo "// $token" >>src/main.cpp && git add src/main.cpp; }
sparse() { git sparse-checkout set --no-cone '/*' '!/HACKING.md' && echo >HACKING.md; }
replaced() { git replace HEAD "$(git commit-tree -m other "$(git write-tree)")"; }
signed() {
    export GNUPGHOME=$work/gnupg
    [ -d "$GNUPGHOME" ] || { mkdir -m 700 "$GNUPGHOME" && gpg --batch --passphrase '' \
        --quick-gen-key 'check <check@example.org>' default default never; } >/dev/null 2>&1
    git -c user.signingKey=check@example.org commit -qS --allow-empty -m signed &&
        git config log.showSignature true
}
head="^$commit $date $tree\$" marked="^$commit $date [0-9a-f]+ modified\$"
while IFS='|' read -r what needs setup named said; do
    if [ -n "$needs" ] && ! command -v "$needs" >/dev/null; then
        echo "$target: skipped, as $needs is not installed: $what"
        continue
    fi
    rm -rf "$work/clone" && git clone -q --no-hardlinks "$src" "$work/clone"
    (cd "$work/clone" && git config user.name check && git config user.email check@example.org &&
        eval "$setup" && cmake --preset "windows-$target") >"$work/log" 2>&1 ||
        { tail -n 20 "$work/log"; fail "$what: configure failed"; }
    expected=$(cd "$work/clone" && eval "echo \"$named\"")
    got=$(cat "$work/clone/build/windows-$target/source-commit.txt")
    [[ $got =~ $expected ]] && says "$work/log" "$said" ||
        { tail -n 20 "$work/log"; fail "$what: the build names '$got', expected '$expected'," \
            "saying '$said'"; }
done <<'ROWS'
git's environment pointing elsewhere||elsewhere|$head|
a clean filter hiding a change||filtered && changed|$marked|M src/main.cpp
a changed file outside a sparse checkout||sparse|$marked|M HACKING.md
HEAD replaced by a commit of other files||changed && replaced|$marked|M src/main.cpp
a signed HEAD, with log.showSignature|gpg|signed|^$(git rev-parse HEAD) [0-9]+ $tree\$|
ROWS
# A clone that git refuses to read (to root, one that another user owns) cannot name its commit:
# configure stops with git's message. The host's git settings stay out of it. The clone is a copy,
# not hard links to the checkout's files, whose owner must not change; and the comparison that
# shows the checkout as the check found it sees an owner changed.
if [ "$(id -u)" = 0 ]; then
    rm -rf "$work/clone/build" && cloned=$(state "$work/clone") && chown -R 4242:4242 "$work/clone"
    [ "$(state "$work/clone")" != "$cloned" ] || fail "the comparison of states misses an owner"
    stops "a clone git refuses to read" "dubious ownership" "$work/clone" \
        "GIT_CONFIG_GLOBAL=/dev/null GIT_CONFIG_NOSYSTEM=1 cmake --preset windows-$target" ||
        fail "configure went on"
fi

[ "$(state "$src")" = "$found" ] ||
    { diff <(echo "$found") <(state "$src") | head -n 20; fail "the check changed $src"; }

echo "$target: $name.zip is as a user should get it, names commit $commit, and packed again" \
    "from an export by $who, in another folder, umask 077, TZ=Asia/Tokyo, is byte for byte the" \
    "same: $(cut -d' ' -f1 "$build/$name.zip.sha256")"
