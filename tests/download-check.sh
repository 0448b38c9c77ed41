#!/usr/bin/env bash
# Checks the Windows download for TARGET as a user receives it, once the release command has made
# dist/ and the workflow has packed build/windows-TARGET/ (its test step is not needed):
#   download-check.sh x86|x64
# HACKING.md, "The downloads", says what it checks. The expectations come from the product: the
# download's name from the README, the commit and its date from the release command's export of
# HEAD, the toolchain from its pin, the exe from pe-check.sh for the target named here.
set -euo pipefail
[[ ${1:-} =~ ^x(86|64)$ ]] || { echo "usage: download-check.sh x86|x64"; exit 2; }
target=$1 preset=windows-$1 src=$(cd "$(dirname "$0")/.." && pwd)
missing=
for tool in unzip:unzip zipinfo:unzip cmake:cmake cpack:cmake reprotest:reprotest \
    faketime:faketime diffoscope:diffoscope-minimal strip-nondeterminism:strip-nondeterminism; do
    command -v "${tool%%:*}" >/dev/null || missing+=" ${tool%%:*} (package ${tool#*:})"
done
perl -MArchive::Zip -e 1 2>/dev/null || missing+=" Archive::Zip (package libarchive-zip-perl)"
[ -z "$missing" ] || { echo "download-check.sh needs what is not installed:$missing"; exit 3; }
exec 3>&1 4>&2 # the check's own output, while a row's goes to its log
fail() { echo "$target: $*" >&3; exit 1; }
says() { tr -s ' \n' ' ' <"$1" | grep -q "$2"; } # says LOG PATTERN, in lines CMake may have wrapped
names=$(grep -o 'factorial-[^ `/]*\.zip' "$src/README.md" | sort -u | xargs)
version=$(sed 's/^factorial-\([0-9.]*\)-windows-.*/\1/' <<<"$names")
[ "$names" = "factorial-$version-windows-x64.zip factorial-$version-windows-x86.zip" ] ||
    fail "README.md names the downloads '$names', not the x64 and x86 ones of one version"
name=factorial-$version-windows-$target record=factorial-$version.buildinfo build=$src/build/$preset
# All the check makes is in one folder, its own wine prefix and server among it, and reprotest's
# builds, whose other user must get through it.
work=$(mktemp -d) && chmod 755 "$work"
export TMPDIR=$work WINEPREFIX=$work/wine WINEDEBUG=-all
trap '{ wineserver -k; } 2>/dev/null || true; rm -rf "$work"' EXIT
# state DIR: each file under DIR with its owner, mode, size and date; not the suites' wine
# prefixes, which wine may still be writing to.
state() { find "$1" -path '*/wineprefix' -prune -o -printf '%P %U:%G %m %s %T@\n' | sort; }
found=$(state "$src")
out=$(cd "$src" && bash tools/release.sh --export "$work/export" 2>&1) || fail "${out##*release: }"
[ -z "$out" ] || echo "$out" # what the release says of the checkout and the toolchain
read -r commit date <"$work/export/cmake/export-commit.txt"
pinned=$(grep -v '^#' "$work/export/tools/toolchain.txt")

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
# check DIR: the download in DIR as a user unpacks it. Every comparison runs, and each that fails
# says so.
check() {
    local zip=$1/$name.zip dir=$work/unpacked/$name bad=0 status=0 files
    (cd "$1" && sha256sum --quiet -c "$name.zip.sha256") ||
        { echo "$name.zip.sha256 does not pass"; bad=1; }
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
    bash "$src/tests/pe-check.sh" "$target" "$dir/factorial.exe" "$version" "$commit" || status=$?
    [ $status = 3 ] && exit 3 # a tool is missing, as pe-check.sh said
    [ $status = 0 ] || { echo "factorial.exe in the zip fails the check above"; bad=1; }
    return $bad
}
# The release's record names the pinned toolchain, which is the one installed when it ran.
[ -f "$src/dist/$record" ] || fail "no $record in $src/dist: bash tools/release.sh makes it"
recorded=$(sed -n 's/^ \(.*\) (= \(.*\)),\?$/\1=\2/p' "$src/dist/$record")
[ "$recorded" = "$pinned" ] || fail "$record names a toolchain other than the pinned one" \
    "(tools/toolchain.txt): $(comm -13 <(sort <<<"$pinned") <(sort <<<"$recorded") | xargs)," \
    "pinned $(comm -23 <(sort <<<"$pinned") <(sort <<<"$recorded") | xargs)"
check "$src/dist" || fail "the release's $name.zip is not as a user should get it"
# same DIR: the zip and its checksum in DIR are the workflow's, byte for byte.
same() {
    local file
    for file in "$name.zip" "$name.zip.sha256"; do
        cmp -s "$build/$file" "$1/$file" ||
            { diffoscope "$build/$file" "$1/$file" | head -n 40; echo "$file differs"; return 1; }
    done
}
same "$src/dist" || fail "the zip that cmake --workflow --preset $preset packs is not the release's"
mkdir "$work/differs" && cp "$build/$name".zip* "$work/differs"
printf 'X' | dd of="$work/differs/$name.zip" bs=1 seek=100 conv=notrunc status=none
same "$work/differs" >/dev/null && fail "the comparison misses a changed byte"

# rebuilds DIR: reprotest builds and packs DIR three times, with the variations of reprotest.conf
# and what this host allows, and the zips must not differ; the first build's are left in
# $work/store.
built="cmake --preset $preset && cmake --build --preset $preset" pack="cpack --preset $preset"
vary=() off= extra=() && mkdir "$work/bin"
if [ "$(id -u)" = 0 ]; then
    ln -s "$src/tests/reprotest-sudo" "$work/bin/sudo"
    vary+=(--vary=user_group.available+=nobody:nogroup --vary=domain_host.use_sudo=1)
else
    vary+=(--vary=-user_group --vary=-domain_host)
    off+="; user and host name: only root varies them"
fi
locale -a | grep -qix 'et_EE.utf-\?8' ||
    { vary+=(--vary=-locales) off+="; locale: no et_EE.UTF-8"; }
if command -v disorderfs >/dev/null && [ -r /dev/fuse ] && [ -w /dev/fuse ]; then
    extra=(--extra-build=+fileordering,-user_group) # a FUSE mount serves its own user alone
else
    off+="; file ordering: needs disorderfs and /dev/fuse"
fi
rebuilds() {
    rm -rf "$work/store" "$work"/differences-*
    (cd "$work" && PATH="$work/bin:$PATH" reprotest -v -f "$src/tests/reprotest.conf" "${vary[@]}" \
        "${extra[@]}" --diffoscope-arg="--text=$work/differences-{0}" --store-dir="$work/store" \
        -c "$built && $pack" "$1" "build/$preset/$name.zip*") >"$work/reprotest.log" 2>&1 ||
        { head -n 30 "$work"/differences-*; echo "$1 does not rebuild bit for bit under reprotest"
          return 1; }
}
rebuilds "$work/export" || fail "the export of HEAD does not rebuild bit for bit"
same "$work/store/control/source-root/build/$preset" ||
    fail "reprotest's build of HEAD is not the workflow's zip"
varied=$(sed -n 's/^INFO:reprotest:build "\(experiment-[0-9]\)": \(.*\)/\1 varied \2;/p' \
    "$work/reprotest.log" | sed 's/vary //g; s/, FIX [a-z_]*//g')

cp -a "$work/export" "$work/source"
(cd "$work/source" && bash -c "$built") >"$work/log" 2>&1 ||
    { tail -n 20 "$work/log"; fail "building the export failed"; }

# The tables. A row is a line: `row WHAT` starts it in the export built once, or `tampered WHAT`
# in a copy of the release's download; then its commands, their output in $work/log; then what
# they must have done. `|| no` fails the check with the row, or says that it is skipped, where a
# command of it could not run on this host (77).
row() { what=$1 && cd "${2:-$work/source}" && exec >"$work/log" 2>&1; }
no() {
    local status=$? && exec >&3 2>&4
    [ $status != 77 ] || { echo "$target: skipped, as this host cannot run it: $what"; return 0; }
    tail -n 20 "$work/log"; fail "$what: not as expected"
}
stopped() { # stopped PATTERN: the commands failed, said PATTERN and left no zip where they ran
    local status=$?
    [ $status != 77 ] || return 77
    [ $status != 0 ] || { echo "went on"; return 1; }
    says "$work/log" "$1" || { echo "did not say '$1'"; return 1; }
    ! ls build/$preset/*.zip dist/*.zip 2>/dev/null
}
# Each fault the check is there for, in a copy of the download, is refused, saying what it is.
# edit MEMBER PERL runs PERL on the member's content as $_ (undef removes it; a member that is not
# there is added), and seal [EPOCH] dates every entry (by default as the commit) and writes the
# checksum again, so that only the row's fault is left.
tampered() { mkdir "$work/$1" && cp "$src/dist/$name".zip* "$work/$1" && row "$1" "$work/$1"; }
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
refused() { # refused PATTERN: the check refuses the download, saying PATTERN
    ! check . >"$work/said" 2>&1 && says "$work/said" "$1" ||
        { cat "$work/said"; echo "not refused, saying '$1'"; return 1; }
}
set +e
tampered 'another checksum'; seal && printf '%064d  %s\n' 0 $name.zip >$name.zip.sha256 && refused 'zip.sha256 does not pass' || no
tampered 'an extra file'; edit extra.txt '$_ = "x"' && seal && refused 'the zip holds: .*/extra.txt' || no
tampered 'a missing file'; edit README.txt 'undef $_' && seal && refused 'the zip holds: .* README.txt is not README.md' || no
tampered 'another README.txt'; edit README.txt '$_ .= "x\r\n"' && seal && refused 'README.txt is not README.md in CR LF' || no
tampered 'README.txt in LF'; edit README.txt 's/\r\n/\n/g' && seal && refused 'README.txt is not README.md in CR LF' || no
tampered 'another commit'; edit VERSION.txt 's/commit \K\w+/"0" x 40/e' && seal && refused 'VERSION.txt is not' || no
tampered 'an entry dated otherwise'; seal $((date + 2)) && refused 'is not dated' || no
tampered 'another import'; edit factorial.exe 's/msvcrt\.dll\0/zlib1.dll\0\0/' && seal && refused 'zlib1.dll: .* check above' || no

set -e
fresh() { rm -rf "$work/copy" && cp -a "$work/export" "$work/copy" && cd "$work/copy"; }
unfill() { cp "$src/cmake/export-commit.txt" cmake; } # export-commit.txt as in a checkout
# committed: a commit of the folder, unfilled, so that an export of it is filled again
committed() {
    unfill && git init -q && git add -A &&
        git -c user.name=check -c user.email=check@example.org commit -qm check --allow-empty
}
without() { # without TOOLS COMMAND...: runs COMMAND where no TOOL can be found
    local userns=$([ "$(id -u)" = 0 ] || echo -r)
    unshare $userns -m true 2>/dev/null || return 77
    unshare $userns -m bash -c 'for tool in $1; do mount --bind /dev/null "$(command -v $tool)"
        done && shift && exec "$@"' - "$@"
}
plant() { # plant CODE [CMAKE...]: the program with CODE in it, and the build with CMAKE, rebuilt
    fresh && echo "$1" >>src/main.cpp && printf '%s\n' "${@:2}" >>CMakeLists.txt &&
        rebuilds "$work/copy"
}
interrupt() { # interrupt SIGNAL: a release, sent SIGNAL once it builds
    bash tools/release.sh & local release=$!
    until compgen -G "$TMPDIR/factorial-release.*/source/build" || ! kill -0 $release; do
        sleep 0.1
    done
    kill -"$1" $release && wait $release
}
wine=$(sed -n 's/^WINE_PROGRAM:FILEPATH=//p' "$build/CMakeCache.txt")
guard=() && [ "$target" = x64 ] || guard=(bash "$src/tests/wine.sh" guard)
five() { # five EXE: under wine, in a prefix of the check's own, EXE answers 5 with 120
    [ -n "$wine" ] || return 77
    [ -d "$WINEPREFIX" ] || "${guard[@]}" bash "$src/tests/wine.sh" start "$wine" || return
    "${guard[@]}" bash "$src/tests/e2e.sh" five crlf "$wine" "$(realpath "$1")"
}
triple=$([ "$target" = x86 ] && echo i686 || echo x86_64)-w64-mingw32 zip=build/$preset/$name.zip
range="from 315576060 to 4294967295" none="No download from a build that names no commit"
differs="factorial.exe .* does not rebuild bit for bit" exe=../plain/factorial.exe
set +e
row 'a date before what a zip dates'; SOURCE_DATE_EPOCH=315576059 $pack; stopped "$range" || no
row 'a date at its start'; SOURCE_DATE_EPOCH=315576060 $pack && dates $zip 315576060 || no
row 'a date at its end'; SOURCE_DATE_EPOCH=4294967295 $pack && dates $zip 4294967295 || no
row 'a date past it'; SOURCE_DATE_EPOCH=4294967296 $pack; stopped "$range" || no
row 'a date not a number'; SOURCE_DATE_EPOCH=1e9 $pack; stopped "not a whole number" || no
row 'that, taken for another stop'; SOURCE_DATE_EPOCH=1e9 $pack; ! stopped "$range" || no
row 'a packing that works, taken for a stop'; $pack; ! stopped "" || no
row 'strip-nondeterminism failing'; $pack -D CPACK_STRIP_NONDETERMINISM=false; stopped "nism failed" || no
row 'a commit of 1970'; fresh && sed -i 's/[0-9]*$/100/' cmake/export-commit.txt && bash -c "$built && $pack"; stopped ", 100, but" || no
row 'packing without git'; fresh && unfill && cmake --preset $preset && without git cmake --build --preset $preset && $pack; stopped "$none: git is not installed" || no
row 'packing with no commit yet'; fresh && unfill && git init -q && bash -c "$built && $pack"; stopped "$none: fatal: .* does not have any commits yet" || no
row 'packing outside a checkout'; fresh && unfill && bash -c "$built && $pack"; stopped "$none: fatal: not a git repository" || no
row 'the release without git'; fresh && without git bash tools/release.sh; stopped "release: git is not installed" || no
row 'the release with no commit yet'; fresh && git init -q && bash tools/release.sh; stopped "release: this folder has no commit yet" || no
row 'the release of a name both a tag and a branch'; fresh && committed && git tag v && git branch v && bash tools/release.sh v; stopped "release: 'v' is ambiguous" || no
row 'the release of HEAD~1, grafted away'; fresh && committed && first=$(git rev-parse HEAD) && committed && git rev-parse HEAD >.git/info/grafts && bash tools/release.sh --export ../grafted HEAD~1 && grep -q "^$first " ../grafted/cmake/export-commit.txt || no
row 'the release in a checkout with a core.fsmonitor'; fresh && committed && git config core.fsmonitor "touch $work/ran" && bash tools/release.sh --export ../watched && [ ! -e "$work/ran" ] || no
row 'a toolchain other than the pin'; fresh && sed -i 's/^cmake=.*/cmake=0/' tools/toolchain.txt && committed && mkdir dist && cp "$src/dist/$record" dist && bash tests/download-check.sh $target; stopped "release: cmake is [^ ]* here, pinned 0.* (tools/toolchain.txt): cmake=[^ ]*, pinned cmake=0" || no
row 'the release of a commit of 1970'; fresh && GIT_COMMITTER_DATE='@100 +0000' committed && bash tools/release.sh; stopped "1970-01-01 00:01:40 UTC, which a zip cannot date" || no
row 'the release of a suite with a test disabled'; fresh && echo 'set_tests_properties(pe.headers PROPERTIES DISABLED TRUE)' >>tests/CMakeLists.txt && committed && bash tools/release.sh; stopped "release: the windows-x86 suite ran [0-9]* of its [0-9]* tests" || no
row 'the release, sent SIGTERM as it builds'; fresh && committed && interrupt TERM; stopped "release: interrupted by SIGTERM" && ! compgen -G "$TMPDIR/factorial-release.*" || no
row 'the check outside a checkout'; fresh && bash tests/download-check.sh $target; stopped ": fatal: not a git repository" && ! compgen -G "$TMPDIR/tmp.*" || no
row 'a byte dated by the build'; plant 'const char* b = __DATE__;'; stopped "$differs" || no
row "a byte naming the build's folder"; plant 'const char* b = __FILE__;'; stopped "$differs" || no
row 'a byte of the weekday in UTC'; plant 'int b = B;' 'string(TIMESTAMP b "%w" UTC)' 'target_compile_definitions(factorial PRIVATE B=1${b})'; stopped "$differs" || no
row 'a byte of the hour in UTC'; plant 'int b = B;' 'string(TIMESTAMP b "%H" UTC)' 'target_compile_definitions(factorial PRIVATE B=1${b})'; stopped "$differs" || no
row 'a SHA-256 repository, its commit dated ahead of the clock'; fresh && git init -q --object-format=sha256 && GIT_COMMITTER_DATE="$(($(date +%s) + 600)) +0000" committed && bash tools/release.sh --export ../ahead && cd ../ahead && bash -c "$built && $pack" && (read -r commit date < <(git -C ../copy log -1 --format='%H %ct') && [ ${#commit} = 64 ] && check build/$preset) || no
row 'a plain MinGW-w64 build'; without 'git strip-nondeterminism' cmake -G Ninja -B ../plain -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER=$triple-g++-posix && cmake --build ../plain && [ "$(wrestool -l $exe | cut -d' ' -f1 | xargs)" = "--type=16 --type=24" ] && five $exe || no
row 'a build in out/, built again'; cmake --preset $preset -B out && timeout 300 cmake --build out && timeout 300 cmake --build out >out/again.log && ! grep -E 'Re-running CMake|Build|Link' out/again.log || no
exec >&3 2>&4
set -e
cd "$src"

# The comparison of states sees a date changed.
cp -a "$src/README.md" "$work/state" && before=$(state "$work/state") && touch "$work/state"
[ "$(state "$work/state")" != "$before" ] || fail "the comparison of states misses a date"
[ "$(state "$src")" = "$found" ] ||
    { diff <(echo "$found") <(state "$src") | head -n 20; fail "the check changed $src"; }
echo "$target: $name.zip is as a user should get it, names commit $commit, was built by the" \
    "pinned toolchain, is the workflow's zip, and rebuilds bit for bit under reprotest" \
    "($(echo ${varied%;})${off:+; off${off#;}}): $(cut -d' ' -f1 "$build/$name.zip.sha256")"
