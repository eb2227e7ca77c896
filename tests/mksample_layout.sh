#!/usr/bin/env bash
# Checks the byte layout veldran-mksample writes and that it refuses bad
# arguments. Other tests and the fuzzing seeds rely on these files being
# exactly what the program's reader expects, so a drift here would quietly
# turn them into tests of malformed input.
#
#   mksample_layout.sh MKSAMPLE
set -uo pipefail

mksample=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/veldran-mksample.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

check() {
    local what=$1 expected=$2 actual=$3
    if [[ $expected == "$actual" ]]; then
        passes=$((passes + 1))
    else
        echo "FAIL: $what: expected '$expected', got '$actual'" >&2
        failures=$((failures + 1))
    fi
}

# hex FILE OFFSET COUNT
hex() { od -An -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n'; }

check_bit_layout() {
    local f="$work/a.bit"
    "$mksample" bit "$f" --name N1 --part P22 --date "" --time T --data 20
    check "bit prefix" 00090ff00ff00ff00ff0000001 "$(hex "$f" 0 13)"
    check "bit name field" 6100034e310062 "$(hex "$f" 13 7)"
    check "bit part field" 00045032320063 "$(hex "$f" 20 7)"
    check "bit empty date, time" 000100640002540065 "$(hex "$f" 27 9)"
    check "bit config length" 00000014 "$(hex "$f" 36 4)"
    check "bit sync preamble" ffffffffaa995566 "$(hex "$f" 40 8)"
    check "bit size" 60 "$(stat -c %s "$f")"
}

check_bit_defaults_and_declared() {
    local f="$work/d.bit"
    "$mksample" bit "$f"
    check "default size" $((14 + 3 * 4 + 35 + 11 + 11 + 9 + 4 + 40000)) "$(stat -c %s "$f")"
    check "default config length" 00009c40 "$(hex "$f" 92 4)"
    "$mksample" bit "$f" --data 5 --declared 0xFFFFFFFF
    check "declared apart from data" ffffffff "$(hex "$f" 92 4)"
    check "short data keeps the preamble's start" ffffffffaa "$(hex "$f" 96 5)"
    check "short data size" 101 "$(stat -c %s "$f")"
}

check_prom_and_determinism() {
    local f="$work/p.bin"
    "$mksample" prom "$f" --size 0x20
    check "prom header" ffffffff5599aa66 "$(hex "$f" 0 8)"
    check "prom size" 32 "$(stat -c %s "$f")"
    "$mksample" prom "$work/q.bin" --size 32
    cmp -s "$f" "$work/q.bin"
    check "same arguments, same bytes" 0 $?
    "$mksample" prom "$f"
    check "prom default size" 40000 "$(stat -c %s "$f")"
}

check_refused() {
    local args
    for args in "" "bit" "prom" "hex $work/x" "bit --data" "bit $work/x --data" \
        "bit $work/x --data -1" "bit $work/x --data 12k" "bit $work/x --data 0x" \
        "bit $work/x --data 2147483648" "bit $work/x --declared 0x100000000" \
        "bit $work/x --size 5" "bit $work/x stray" "prom $work/x --size 7" \
        "prom $work/x --data 9" "prom $work/x --size +9"; do
        # shellcheck disable=SC2086 # the words are meant to split
        "$mksample" $args > /dev/null 2>&1
        check "refuses '$args'" 2 $?
    done
    "$mksample" bit "$work/x" --name "$(head -c 65535 /dev/zero | tr '\0' n)" > /dev/null 2>&1
    check "refuses a field longer than its length word" 2 $?
    check "writes nothing when refusing" no "$([[ -e $work/x ]] && echo yes || echo no)"
    "$mksample" bit "$work/no-such-dir/x" > /dev/null 2>&1
    check "unwritable output" 1 $?
}

check_bit_layout
check_bit_defaults_and_declared
check_prom_and_determinism
check_refused
echo "$passes passed, $failures failed"
[[ $failures -eq 0 ]]
