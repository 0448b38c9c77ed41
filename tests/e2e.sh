#!/usr/bin/env bash
# Runs one row of cases.tsv as a user would: e2e.sh NAME lf|crlf COMMAND...
# The row's "input.txt" (and "output.txt", where it says) is laid out in a fresh folder, COMMAND
# is started there with no arguments, and then the exit status, the silence of the console and
# "output.txt", byte for byte with the given line end, are checked.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
name=$1 eol=$2
shift 2

row=$(awk -F'\t' -v name="$name" '$1 == name' "$here/cases.tsv")
[ -n "$row" ] || { echo "no case named $name"; exit 1; }
IFS=$'\t' read -r _ setup input digits status <<<"$row"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run"
case $input in
    '<none>') ;;
    '<empty>') : >"$work/run/input.txt" ;;
    *) printf '%b' "$input" >"$work/run/input.txt" ;;
esac
case $setup in
    stale) printf '%0300d\n' 0 >"$work/run/output.txt" ;;
    dir) mkdir "$work/run/output.txt" ;;
    full) ln -s /dev/full "$work/run/output.txt" ;;
esac
case $digits in
    -) digits= ;;
    @*) digits=$(<"$here/data/${digits#@}") ;;
esac
case $eol in
    crlf) digits+=$'\r\n' ;;
    *) digits+=$'\n' ;;
esac

# Console output goes to files: a pipe may be held open by an emulator's helper processes.
got=0
(cd "$work/run" && exec "$@" >"$work/stdout" 2>"$work/stderr" </dev/null) || got=$?

fail=0
if [ "$got" != "$status" ]; then
    echo "exit status $got, expected $status"
    fail=1
fi
for out in stdout stderr; do
    if [ -s "$work/$out" ]; then
        echo "the program (or its launcher) printed on $out, last lines:"
        tail -n 20 "$work/$out"
        fail=1
    fi
done
if [ "$setup" != dir ] && [ "$setup" != full ]; then
    printf '%s' "$digits" >"$work/expected"
    if ! cmp "$work/expected" "$work/run/output.txt"; then
        echo "expected (head): $(head -c 80 "$work/expected" | od -c | head -3)"
        echo "output.txt (head): $(head -c 80 "$work/run/output.txt" | od -c | head -3)"
        fail=1
    fi
fi
exit $fail
