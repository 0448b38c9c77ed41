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
# shellcheck source=rows.sh
. "$src/tests/rows.sh"
fail() { echo "$target: $*"; exit 1; }
names=$(grep -o 'factorial-[^ `/]*\.zip' "$src/README.md" | sort -u | xargs) || true
version=${names#factorial-} && version=${version%%-windows-*}
[ "$names" = "factorial-$version-windows-x64.zip factorial-$version-windows-x86.zip" ] ||
    fail "README.md names the downloads '$names', not the x64 and x86 ones of one version"
name=factorial-$version-windows-$target record=factorial-$version.buildinfo build=$src/build/$preset
# All the check makes is in one folder, reprotest's builds among it, whose other user must get
# through it.
work=$(mktemp -d) && chmod 755 "$work"
export TMPDIR=$work
trap 'rm -rf "$work"' EXIT
# state DIR: each file under DIR with its owner, mode, size and date; not the suites' wine
# prefixes, which wine may still be writing to.
state() { find "$1" -path '*/wineprefix' -prune -o -printf '%P %U:%G %m %s %T@\n' | sort; }
found=$(state "$src")
out=$(cd "$src" && bash tools/release.sh --export "$work/export" 2>&1) || fail "${out##*release: }"
[ -z "$out" ] || echo "$out" # what the release says of the checkout and the toolchain
read -r commit date <"$work/export/cmake/export-commit.txt"
pinned=$(grep -v '^#' "$work/export/tools/toolchain.txt" | sort)

# entry ZIP: ZIP's line under the record's Checksums-Sha256
entry() { echo " $(sha256sum <"$1" | cut -d' ' -f1) $(stat -c %s "$1") ${1##*/}"; }
# check DIR: the download in DIR as a user unpacks it, and the record beside it. Every comparison
# runs, and each that fails says so.
check() {
    local zip=$1/$name.zip dir=$work/unpacked/$name bad=0 status=0 files tools
    (cd "$1" && sha256sum --quiet -c "$name.zip.sha256") ||
        { echo "$name.zip.sha256 does not pass"; bad=1; }
    files=$(printf "$name/%s\n" README.txt VERSION.txt factorial.exe | sort)
    [ "$(unzip -Z1 "$zip" | sort)" = "$files" ] ||
        { echo "the zip holds: $(unzip -Z1 "$zip" | xargs), expected: ${files//$'\n'/ }"; bad=1; }
    dated "$zip" "$date" || bad=1
    rm -rf "$work/unpacked" && unzip -q "$zip" -d "$work/unpacked"
    sed 's/$/\r/' "$src/README.md" | cmp - "$dir/README.txt" ||
        { echo "README.txt is not README.md in CR LF"; bad=1; }
    printf 'factorial %s\r\ncommit %s\r\n' "$version" "$commit" | cmp -s - "$dir/VERSION.txt" ||
        { echo "VERSION.txt is not 'factorial $version', 'commit $commit', in CR LF:"
          cat -A "$dir/VERSION.txt"; bad=1; }
    bash "$src/tests/pe-check.sh" "$target" "$dir/factorial.exe" "$version" "$commit" || status=$?
    [ $status = 3 ] && exit 3 # a tool is missing, as pe-check.sh said
    [ $status = 0 ] || { echo "factorial.exe in the zip fails the check above"; bad=1; }
    grep -qx "Commit: $commit" "$1/$record" || { echo "$record names another commit"; bad=1; }
    grep -qxF -- "$(entry "$zip")" "$1/$record" || { echo "$record does not give$(entry "$zip")"
        bad=1; }
    tools=$(sed -n 's/^ \(.*\) (= \(.*\)),\?$/\1=\2/p' "$1/$record" | sort)
    [ "$tools" = "$pinned" ] || { echo "$record names a toolchain other than the pinned one" \
        "(tools/toolchain.txt): $(comm -13 <(echo "$pinned") <(echo "$tools") | xargs)," \
        "pinned $(comm -23 <(echo "$pinned") <(echo "$tools") | xargs)"; bad=1; }
    return $bad
}
[ -f "$src/dist/$record" ] || fail "no $record in $src/dist: bash tools/release.sh makes it"
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

# rebuilds DIR: reprotest builds and packs DIR, with the variations of reprotest.conf and what this
# host allows, and the zips must not differ; the first build's are left in $work/store.
built="cmake --preset $preset && cmake --build --preset $preset && cpack --preset $preset"
vary=() off='' extra=() && mkdir "$work/bin"
if [ "$(id -u)" = 0 ]; then
    ln -s "$src/tests/reprotest-sudo" "$work/bin/sudo"
    vary+=("--vary=user_group.available+=nobody:nogroup" --vary=domain_host.use_sudo=1)
else
    vary+=(--vary=-user_group --vary=-domain_host)
    off+="; user and host name: only root varies them"
fi
locale=$(sed -n 's/^ *locales.locale=//p' "$src/tests/reprotest.conf")
locale -a | grep -qix "${locale%.*}.utf-\?8" ||
    { vary+=(--vary=-locales) off+="; locale: no $locale"; }
if command -v disorderfs >/dev/null && [ -r /dev/fuse ] && [ -w /dev/fuse ]; then
    extra=("--extra-build=+fileordering,-user_group") # a FUSE mount serves its own user alone
else
    off+="; file ordering: needs disorderfs and /dev/fuse"
fi
rebuilds() {
    local status=0
    rm -rf "$work/store" "$work"/differences-*
    (cd "$work" && PATH="$work/bin:$PATH" reprotest -v -f "$src/tests/reprotest.conf" "${vary[@]}" \
        "${extra[@]}" --diffoscope-arg="--text=$work/differences-{0}" --store-dir="$work/store" \
        -c "$built" "$1" "build/$preset/$name.zip*") >"$work/reprotest.log" 2>&1 || status=$?
    [ $status = 0 ] && return
    if compgen -G "$work/differences-*" >/dev/null; then
        head -n 30 "$work"/differences-*
        echo "$1 does not rebuild bit for bit under reprotest"
    else
        tail -n 20 "$work/reprotest.log"
        echo "reprotest stopped (status $status) before it compared the builds of $1"
    fi
    return 1
}
rebuilds "$work/export" || fail "the export of HEAD does not rebuild bit for bit"
same "$work/store/control/source-root/build/$preset" ||
    fail "reprotest's build of HEAD is not the workflow's zip"
varied=$(sed -n 's/^INFO:reprotest:build "\(experiment-[0-9]\)": \(.*\)/\1 varied \2;/p' \
    "$work/reprotest.log" | sed 's/vary //g; s/, FIX [a-z_]*//g' | paste -sd ' ')
builds=$(($(grep -c '^INFO:reprotest:build "experiment-' "$work/reprotest.log") + 1))

# The tables: each fault the check is there for, planted in a copy of the download or of the
# export, must be refused, saying what it is. In a copy of the download, edit MEMBER PERL runs PERL
# on the member's content as $_ (undef removes it; a member that is not there is added), and
# seal [EPOCH] dates every entry (by default as the commit) and writes the checksum again, in the
# .sha256 file and the record, so that only the row's fault is left.
tampered() { cp "$src/dist/$name".zip* "$src/dist/$record" .; }
edit() {
    perl -MArchive::Zip=:ERROR_CODES -e 'my ($zip, $member, $code) = @ARGV;
        my $z = Archive::Zip->new($zip) or die; my $m = $z->memberNamed($member);
        local $_ = $m ? scalar $z->contents($member) : ""; eval $code; die $@ if $@;
        if (!defined) { $z->removeMember($member) } elsif ($m) { $z->contents($member, $_) }
        else { $z->addString($_, $member) }
        $z->overwrite == AZ_OK or die' "$name.zip" "$name/$1" "$2"
}
seal() {
    strip-nondeterminism --type zip --timestamp "${1:-$date}" "$name.zip" >/dev/null
    sha256sum "$name.zip" >"$name.zip.sha256"
    sed -i "s/^ .* $name.zip\$/$(entry "$name.zip")/" "$record"
}
refused() { fails check .; says "$1"; }
row 'another checksum' 'tampered; seal; printf "%064d  %s\n" 0 "$name.zip" >"$name.zip.sha256"
    refused "zip.sha256 does not pass"'
row 'an extra file' 'tampered; edit extra.txt "\$_ = q(x)"; seal
    refused "the zip holds: .*/extra.txt"'
row 'a missing file' 'tampered; edit README.txt "undef \$_"; seal
    refused "the zip holds: .* README.txt is not README.md"'
row 'another README.txt' 'tampered; edit README.txt "\$_ .= qq(x\r\n)"; seal
    refused "README.txt is not README.md in CR LF"'
row 'README.txt in LF' 'tampered; edit README.txt "s/\r\n/\n/g"; seal
    refused "README.txt is not README.md in CR LF"'
row 'another commit' 'tampered; edit VERSION.txt "s/commit \K\w+/q(0) x 40/e"; seal
    refused "VERSION.txt is not"'
row 'an entry dated otherwise' 'tampered; seal $((date + 2))
    refused "is not dated"'
row 'another import' 'tampered; edit factorial.exe "s/msvcrt\.dll\0/zlib1.dll\0\0/"; seal
    refused "zlib1.dll: .* check above"'
row 'a record of another commit' 'tampered
    sed -i "s/^Commit: .*/Commit: $(printf %040d)/" "$record"; refused "names another commit"'
row 'a record with another size' 'tampered
    sed -i "s/^\( [0-9a-f]*\) [0-9]* $name.zip/\1 1 $name.zip/" "$record"
    refused "$record does not give [0-9a-f]* [0-9]* $name.zip"'
row 'a record naming another toolchain' 'tampered
    sed -i "s/^ cmake (= .*)/ cmake (= 0)/" "$record"
    refused "names a toolchain other than the pinned one .*: cmake=0, pinned cmake="'
row 'a changed byte, compared' 'cp "$build/$name".zip* .
    printf X | dd of="$name.zip" bs=1 seek=100 conv=notrunc status=none
    fails same .; says "$name.zip differs"'
row 'the check outside a checkout' 'cp -a "$work/export" copy; cd copy
    fails bash tests/download-check.sh "$target"; says ": fatal: not a git repository"
    [ -z "$(compgen -G "$TMPDIR/tmp.*" | grep -v "^$dir")" ]'
row 'a date changed, compared' 'cp -a "$src/README.md" .; before=$(state .); touch README.md
    [ "$(state .)" != "$before" ]'
# plant CODE [CMAKE...]: the export with CODE in the program and CMAKE in the build, rebuilt
plant() {
    cp -a "$work/export" copy && echo "$1" >>copy/src/main.cpp &&
        printf '%s\n' "${@:2}" >>copy/CMakeLists.txt && rebuilds "$PWD/copy"
}
# shellcheck disable=SC2034 # read by the rows
differs="factorial.exe .* does not rebuild bit for bit"
row 'a byte dated by the build' 'fails plant "const char* b = __DATE__;"; says "$differs"'
row "a byte naming the build's folder" 'fails plant "const char* b = __FILE__;"; says "$differs"'
row 'a byte of the weekday in UTC' 'fails plant "int b = B;" "string(TIMESTAMP b \"%w\" UTC)" \
    "target_compile_definitions(factorial PRIVATE B=1\${b})"; says "$differs"'
row 'a byte of the hour in UTC' 'fails plant "int b = B;" "string(TIMESTAMP b \"%H\" UTC)" \
    "target_compile_definitions(factorial PRIVATE B=1\${b})"; says "$differs"'
[ "$bad" = 0 ] || fail "$bad of the check's $rows rows are not as expected"

[ "$(state "$src")" = "$found" ] ||
    { diff <(echo "$found") <(state "$src") | head -n 20; fail "the check changed $src"; }
echo "$target: $name.zip is as a user should get it, names commit $commit, was built by the" \
    "pinned toolchain as its record says, is the workflow's zip, and rebuilds bit for bit in" \
    "$builds builds under reprotest (${varied%;}${off:+; off${off#;}}), and its $rows" \
    "rows are as expected: $(cut -d' ' -f1 "$build/$name.zip.sha256")"
