#!/usr/bin/env bash
# Checks the Windows download for TARGET as a user receives it, once its workflow has packed it
# into build/windows-TARGET/ and the release command has made dist/:
#   download-check.sh x86|x64
# The expectations come from the product, not from the build: the download's name from the
# README, the commit and its date from the release command's export of HEAD, the exe from
# pe-check.sh for the target named here.
set -euo pipefail
target=$1
src=$(cd "$(dirname "$0")/.." && pwd)
missing=
for tool in unzip:unzip zipinfo:unzip cmake:cmake cpack:cmake reprotest:reprotest \
    faketime:faketime diffoscope:diffoscope-minimal strip-nondeterminism:strip-nondeterminism; do
    command -v "${tool%%:*}" >/dev/null || missing+=" ${tool%%:*} (package ${tool#*:})"
done
perl -MArchive::Zip -e 1 2>/dev/null || missing+=" Archive::Zip (package libarchive-zip-perl)"
[ -z "$missing" ] || { echo "download-check.sh needs what is not installed:$missing"; exit 3; }
fail() { echo "$target: $*"; exit 1; }
says() { tr -s ' \n' ' ' <"$1" | grep -q "$2"; } # says LOG PATTERN, in lines CMake may have wrapped

names=$(grep -o 'factorial-[^ `/]*\.zip' "$src/README.md" | sort -u | xargs)
version=$(sed 's/^factorial-\([0-9.]*\)-windows-.*/\1/' <<<"$names")
[ "$names" = "factorial-$version-windows-x64.zip factorial-$version-windows-x86.zip" ] ||
    fail "README.md names the downloads '$names', not the x64 and x86 ones of one version"
name=factorial-$version-windows-$target
build=$src/build/windows-$target
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# state DIR: each file under DIR with its owner, mode, size and date; not the suites' wine
# prefixes, which wine may still be writing to.
state() { find "$1" -path '*/wineprefix' -prune -o -printf '%P %U:%G %m %s %T@\n' | sort; }
found=$(state "$src")
out=$(cd "$src" && bash tools/release.sh --export "$work/export" 2>&1) || fail "${out#release: }"
read -r commit date <"$work/export/cmake/export-commit.txt"

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

# check ZIP: the download as a user unpacks it. Every comparison runs, and each that fails says so.
check() {
    local zip=$1 dir=$work/unpacked/$name bad=0 status=0 files
    (cd "$(dirname "$zip")" && sha256sum --quiet -c "$name.zip.sha256") ||
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
    cp "$build/$name".zip* "$work/tampered"
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

# same DIR: the zip and its checksum in DIR are the workflow's, byte for byte.
same() {
    local file
    for file in "$name.zip" "$name.zip.sha256"; do
        cmp -s "$build/$file" "$1/$file" ||
            { diffoscope "$build/$file" "$1/$file" | head -n 40; echo "$file differs"; return 1; }
    done
}
same "$src/dist" ||
    fail "the release command's $name.zip of HEAD (bash tools/release.sh) is not the workflow's"
mkdir "$work/differs" && cp "$build/$name".zip* "$work/differs"
printf 'X' | dd of="$work/differs/$name.zip" bs=1 seek=100 conv=notrunc status=none
same "$work/differs" >/dev/null && fail "the comparison misses a changed byte"

# rebuilds DIR: reprotest builds and packs DIR again and again, varying all it can vary here, and
# the zips must be the same; the first build's are left in $work/store. The time is set ahead
# (reprotest would leave it at random for a commit half a year old), and the environment asks
# for flags and links that the presets and the packing ignore.
built="cmake --preset windows-$target && cmake --build --preset windows-$target"
pack="cpack --preset windows-$target"
whole="$built && $pack"
vary="+all,-fileordering,time.faketimes+=+462days,locales.locale=et_EE.UTF-8,"
vary+="environment.variables+=CXXFLAGS=-O0;CPPFLAGS=-DOTHER;RCFLAGS=--language=0x407;"
vary+="LDFLAGS=-Xlinker --disable-dynamicbase;CMAKE_INSTALL_MODE=ABS_SYMLINK"
off= extra=() bin=$work/bin
mkdir "$bin"
if [ "$(id -u)" = 0 ]; then
    # reprotest changes the user and host name through "sudo -h localhost", which Debian 12's sudo
    # refuses: root needs no sudo, and this stand-in runs the command as the user it names.
    cat >"$bin/sudo" <<'SUDO'
#!/bin/bash
while getopts h:Eu:g: o; do [ $o != u ] || u=$OPTARG; [ $o != g ] || g=$OPTARG; done
shift $((OPTIND - 1)) && exec ${u:+setpriv --reuid="$u" --regid="$g" --init-groups} "$@"
SUDO
    chmod +x "$bin/sudo"
    vary+=",user_group.available+=nobody:nogroup,domain_host.use_sudo=1"
else
    vary+=",-user_group,-domain_host" off+="; user and host name: only root varies them here"
fi
locale -a | grep -qix 'et_EE.utf-\?8' || { vary+=",-locales" off+="; locale: no et_EE.UTF-8"; }
if command -v disorderfs >/dev/null && [ -r /dev/fuse ] && [ -w /dev/fuse ]; then
    extra=(--extra-build=+fileordering,-user_group) # a FUSE mount serves its own user alone
else
    off+="; file ordering: needs disorderfs and /dev/fuse"
fi
rebuilds() {
    rm -rf "$work/store"
    (cd "$work" && PATH="$bin:$PATH" reprotest -v --variations="$vary" "${extra[@]}" \
        --store-dir="$work/store" -c "$whole" "$1" "build/windows-$target/$name.zip*") \
        >"$work/reprotest.log" 2>&1 ||
        { grep -v '^    ' "$work/reprotest.log" | grep -A 30 '^--- ' | head -n 60
          echo "$1 does not rebuild bit for bit under reprotest's variations"; return 1; }
}
rebuilds "$work/export" || fail "the export of HEAD does not rebuild bit for bit"
same "$work/store/control/source-root/build/windows-$target" ||
    fail "the export of HEAD, built by reprotest, is not the zip the workflow packed"
varied=$(sed -n 's/^INFO:reprotest:build "\(experiment-[0-9]\)": \(.*\)/\1 varied \2;/p' \
    "$work/reprotest.log" | sed 's/vary //g; s/, FIX [a-z_]*//g')

# Each row runs COMMAND in the export built once, then EXPECTED; 77 from either: the row cannot
# run on this host. In a row: fresh starts again in a copy of the export; unfill leaves
# export-commit.txt as in a checkout; without TOOLS COMMAND runs COMMAND where no TOOL can be
# found; plant CODE adds CODE to the program and rebuilds it; stopped PATTERN: COMMAND stopped,
# saying PATTERN, and left no zip behind; passed: it did not stop.
cp -a "$work/export" "$work/source"
(cd "$work/source" && eval "$built") >"$work/log" 2>&1 ||
    { tail -n 20 "$work/log"; fail "building the export failed"; }
fresh() { rm -rf "$work/copy" && cp -a "$work/export" "$work/copy" && cd "$work/copy"; }
unfill() { cp "$src/cmake/export-commit.txt" cmake/; }
: >"$work/none"
userns=$([ "$(id -u)" = 0 ] || echo -r)
without() {
    unshare $userns -m true 2>/dev/null || return 77
    unshare $userns -m bash -c \
        'for tool in $1; do mount --bind "$0" "$(command -v "$tool")"; done && eval "$2"' \
        "$work/none" "$1" "$2"
}
plant() { fresh && echo "$1" >>src/main.cpp && rebuilds "$work/copy"; }
passed() { [ "$status" = 0 ] || { echo "stopped"; return 1; }; }
stopped() {
    [ "$status" != 0 ] || { echo "went on"; return 1; }
    says "$work/log" "$1" || { echo "did not say '$1'"; return 1; }
    ! ls "$work"/{source,copy}/build/windows-$target/*.zip 2>/dev/null
}
sha256() { # HEAD's files, committed in a SHA-256 repository, exported and packed
    mkdir ../sha256 && cd ../sha256 && git -C "$src" archive 'HEAD^{tree}' | tar -x &&
        git init -q --object-format=sha256 && git add -A &&
        git -c user.name=check -c user.email=check@example.org commit -qm sha256 &&
        bash tools/release.sh --export ../sha256-export && cd ../sha256-export && eval "$whole"
}
named() { # named COMMIT DATE: the zip is as a user should get it, naming COMMIT
    [[ $1 =~ ^[0-9a-f]{64}$ ]] && (commit=$1 date=$2 && check "$zip")
}
triple=$([ "$target" = x86 ] && echo i686 || echo x86_64)-w64-mingw32
plain="without 'git strip-nondeterminism' 'cmake -G Ninja -B ../plain -DCMAKE_SYSTEM_NAME=Windows"
plain+=" -DCMAKE_CXX_COMPILER=$triple-g++-posix && cmake --build ../plain'"
exe=../plain/factorial.exe
wine=$(sed -n 's/^WINE_PROGRAM:FILEPATH=//p' "$build/CMakeCache.txt")
five() { # five EXE: under wine, EXE answers 5 with 120, as row five of cases.tsv says
    local guard=()
    [ -n "$wine" ] || return 77
    [ "$target" = x64 ] || guard=(bash "$src/tests/wine.sh" guard)
    WINEDEBUG=-all WINEPREFIX=$build/wineprefix "${guard[@]}" \
        bash "$src/tests/e2e.sh" five crlf "$wine" "$(realpath "$1")"
}
resources() { [ "$(wrestool -l "$1" | cut -d' ' -f1 | xargs)" = "--type=16 --type=24" ]; }
again="cmake --preset windows-$target -B out && timeout 300 cmake --build out"
again+=" && timeout 300 cmake --build out >out/again.log"
row() {
    status=0
    eval "$1" >"$work/log" 2>&1 </dev/null || status=$?
    [ $status != 77 ] || return 77
    eval "$2"
}
zip=build/windows-$target/$name.zip
range="from 315576060 to 4294967295"
none="No download from a build that names no commit"
git_says="fatal: not a git repository"
differs="factorial.exe .* does not rebuild bit for bit"
while IFS='|' read -r what command expected; do
    status=0
    (cd "$work/source" && row "$command" "$expected") >"$work/said" 2>&1 || status=$?
    [ $status != 77 ] || { echo "$target: skipped, as this host cannot run it: $what"; continue; }
    [ $status = 0 ] || { tail -n 20 "$work/log"; cat "$work/said"; fail "$what: not as expected"; }
done <<ROWS
a date before what a zip dates|SOURCE_DATE_EPOCH=315576059 $pack|stopped "$range"
a date at its start|SOURCE_DATE_EPOCH=315576060 $pack|passed && dates $zip 315576060
a date at its end|SOURCE_DATE_EPOCH=4294967295 $pack|passed && dates $zip 4294967295
a date past it|SOURCE_DATE_EPOCH=4294967296 $pack|stopped "$range"
a date not a number|SOURCE_DATE_EPOCH=1e9 $pack|stopped "not a whole number"
that, taken for another stop|SOURCE_DATE_EPOCH=1e9 $pack|! stopped "$range"
a packing that works, taken for a stop|$pack|! stopped ""
strip-nondeterminism failing|$pack -D CPACK_STRIP_NONDETERMINISM=false|stopped "nism failed"
a commit of 1970|fresh && sed -i 's/[0-9]*\$/100/' cmake/*-commit.txt && $whole|stopped ", 100, but"
packing without git|fresh && unfill && without git "$whole"|stopped "$none: git is not installed"
packing with no commit yet|fresh && unfill && git init -q && $whole|stopped "$none: this folder"
packing outside a checkout|fresh && unfill && $whole|stopped "$none: $git_says"
the release without git|fresh && without git "bash tools/release.sh"|stopped "release: git is not"
the release with no commit yet|fresh && git init -q && bash tools/release.sh|stopped "no commit yet"
the check outside a checkout|fresh && bash tests/download-check.sh $target|stopped ": $git_says"
a byte dated by the build|plant 'const char* b = __DATE__;'|stopped "$differs"
a byte naming the build's folder|plant 'const char* b = __FILE__;'|stopped "$differs"
a SHA-256 repository|sha256|passed && named \$(git -C ../sha256 log -1 --format='%H %ct')
a plain MinGW-w64 build|$plain|passed && resources $exe && five $exe
a build in out/, built again|$again|passed && ! grep -E 'Re-running CMake|Build|Link' out/again.log
ROWS

# The comparison of states sees a date changed.
cp -a "$src/README.md" "$work/state" && before=$(state "$work/state") && touch "$work/state"
[ "$(state "$work/state")" != "$before" ] || fail "the comparison of states misses a date"
[ "$(state "$src")" = "$found" ] ||
    { diff <(echo "$found") <(state "$src") | head -n 20; fail "the check changed $src"; }

varied="$(echo ${varied%;})${off:+; off${off#;}}"
echo "$target: $name.zip is as a user should get it, names commit $commit, is the release" \
    "command's zip, and rebuilds bit for bit under reprotest ($varied):" \
    "$(cut -d' ' -f1 "$build/$name.zip.sha256")"
