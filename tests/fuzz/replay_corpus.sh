#!/usr/bin/env bash
# Replays fuzzing inputs against the real program on a simulated bus.
#
#   replay_corpus.sh VELDRAN SIMBUS DIR...
#
# Every regular file in each DIR (missing or empty DIRs are skipped) is run as
# `VELDRAN FILE 0` against its own fresh copy of a default simulated bus. A
# run passes when it ends with one of the program's own statuses (0, 100-105)
# and its stderr is either empty or exactly one VELDRAN error block with no
# sanitizer or runtime-error text. Anything else is a fault in the program
# that the fuzzer once reached, so the file's name and stderr are shown.
set -uo pipefail

if [[ $# -lt 3 ]]; then
    sed -n '2,11p' "$0" >&2
    exit 2
fi
veldran=$1
simbus=$2
shift 2

work=$(mktemp -d "${TMPDIR:-/tmp}/veldran-replay.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
printf '\n\n\aVELDRAN:\n' > "$work/block-start"

if ! "$simbus" "$work/template" > "$work/simbus.out" 2>&1; then
    echo "cannot make the simulated bus:" >&2
    cat "$work/simbus.out" >&2
    exit 2
fi

status_is_own() {
    case $1 in
        0 | 100 | 101 | 102 | 103 | 104 | 105) return 0 ;;
        *) return 1 ;;
    esac
}

# Empty, or the block start, a message, a final newline, and nothing that a
# sanitizer or a second error block would add.
stderr_is_own() {
    local err=$1
    [[ -s $err ]] || return 0
    cmp -s -n 12 "$err" "$work/block-start" || return 1
    [[ $(tail -c 1 "$err" | od -An -tx1 | tr -d ' ') == 0a ]] || return 1
    [[ $(grep -c -a $'\aVELDRAN:' "$err") == 1 ]] || return 1
    ! grep -q -a -E 'Sanitizer|runtime error:|SUMMARY:|==[0-9]+==' "$err"
}

replay_one() {
    local input=$1 bus="$work/bus" status
    rm -rf "$bus"
    cp -R "$work/template" "$bus"
    VELDRAN_SYSFS_ROOT=$bus timeout 20 "$veldran" "$input" 0 \
        < /dev/null > /dev/null 2> "$work/stderr"
    status=$?
    if status_is_own "$status" && stderr_is_own "$work/stderr"; then
        return 0
    fi
    echo "FAIL: $input: exit status $status, stderr:" >&2
    cat -v "$work/stderr" | head -40 >&2
    return 1
}

total=0
ok=0
for dir in "$@"; do
    [[ -d $dir ]] || continue
    while IFS= read -r -d '' input; do
        total=$((total + 1))
        replay_one "$input" && ok=$((ok + 1))
    done < <(find "$dir" -maxdepth 1 -type f ! -name '.*' -print0 | sort -z)
done

echo "replayed $total files: $ok ok, $((total - ok)) failed"
if [[ $total -eq 0 ]]; then
    echo "no input files found" >&2
    exit 1
fi
[[ $ok -eq $total ]]
