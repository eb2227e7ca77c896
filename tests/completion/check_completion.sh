#!/usr/bin/env bash
# The bash completion's candidates, as bash-completion offers them when a
# user presses Tab: options and file names for FILE, the numbers and
# addresses of the cards on a simulated bus for CARD.
#
#   check_completion.sh COMPLETION VELDRAN SIMBUS
#
# Exit status 77 (skipped) when bash-completion is not installed, except on
# CI (CI set), where that fails.
set -u -o pipefail

completion=$(readlink -f "${1:?completion file}")
veldran=$(readlink -f "${2:?veldran binary}")
simbus=$(readlink -f "${3:?veldran-simbus binary}")
framework=/usr/share/bash-completion/bash_completion
if [ ! -r "$framework" ]; then
    # CI installs it (tools/packages.list): missing there is a fault.
    echo "SKIP: bash-completion not installed"
    [ -n "${CI:-}" ] && exit 1
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/veldran-completion.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
"$simbus" "$work/sys" addr=0000:03:00.0 addr=0001:01:00.0 addr=0000:01:00.0,device=0x9056 \
    addr=0000:01:00.1 || exit 1
# Seventeen cards: a run takes the numbers 0 to 15 only.
cards=()
for bus in $(seq 1 17); do
    cards+=("addr=0000:$(printf %02x "$bus"):00.0")
done
"$simbus" "$work/many" "${cards[@]}" || exit 1
mkdir "$work/files" "$work/files/designs"
: >"$work/files/top.bit"
: >"$work/files/image.prom"
export VELDRAN_SYSFS_ROOT=$work/sys

# shellcheck source=/dev/null
. "$framework"
# shellcheck source=completion/veldran.bash
. "$completion"

failures=0
# expect LINE WANTED...: the candidates for completing at the end of LINE,
# words split as readline splits them (at blanks and at colons).
expect() {
    local line=$1
    shift
    COMP_LINE=$line
    COMP_POINT=${#line}
    local split=${line//:/ : }
    read -r -a COMP_WORDS <<<"$split"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _veldran veldran "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got want
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ $# -eq 0 ] && want=" "
    [ ${#COMPREPLY[@]} -eq 0 ] && got=" "
    if [ "$got" = "$want" ]; then
        echo "ok:   '$line' -> $got"
    else
        echo "FAIL: '$line' -> '$got', not '$want'"
        failures=$((failures + 1))
    fi
}

cd "$work/files" || exit 1
# "veldran" on the line is the build's binary.
mkdir "$work/bin"
ln -s "$veldran" "$work/bin/veldran"
PATH=$work/bin:$PATH

expect "veldran --" --check --help --list --release --version
expect "veldran --l" --list
expect "veldran --check t" top.bit
expect "veldran --release " 0 1 0000:03:00.0 0001:01:00.0
expect "veldran --help "
expect "veldran " designs image.prom top.bit
expect "veldran t" top.bit
expect "veldran top.bit " 0 1 0000:03:00.0 0001:01:00.0
expect "veldran top.bit 1" 1
expect "veldran top.bit 0000:0" 03:00.0
expect "veldran top.bit 0001:" 01:00.0
expect "veldran --list " --json
expect "veldran top.bit 0 "

export VELDRAN_SYSFS_ROOT=$work/many
expect "veldran top.bit 1" 1 10 11 12 13 14 15
expect "veldran top.bit 0000:1" 10:00.0 11:00.0

# No card at all: nothing to offer, and nothing printed on the terminal.
export VELDRAN_SYSFS_ROOT=$work/none
expect "veldran top.bit "

# Whatever a list holds, no text of it is expanded: a driver's name on
# the bus, with a command and a line break in it, as the program's JSON
# gives it; and a "veldran" that prints hostile lines of its own.
export VELDRAN_SYSFS_ROOT=$work/sys
# shellcheck disable=SC2016 # never to be expanded: that is the point
hostile_driver='$(touch ran-from-the-list)
{"number":9,"address":"0000:09:00.0"}'
ln -s "../../../bus/pci/drivers/$hostile_driver" "$work/sys/bus/pci/devices/0000:03:00.0/driver"
expect "veldran top.bit " 0 1 0000:03:00.0 0001:01:00.0
mkdir "$work/hostile"
cat >"$work/hostile/veldran" <<'LIST'
#!/bin/sh
echo '['
echo '{"number":0,"address":"0000:03:00.0","board":"Quorvel KX-20 card"},'
echo '{"number":1,"address":"$(touch${IFS}ran-from-the-list)","board":null},'
echo '{"number":2,"address":"`touch${IFS}ran-from-the-list`:00.0"},'
echo '{"number":3,"address":"0000:04:00.0$(touch${IFS}ran-from-the-list)"},'
echo '{"number":"$(touch${IFS}ran-from-the-list)","address":"0000:05:00.0"},'
echo '{"number":99,"address":"0000:06:00.0","board":"x'
echo '{"number":7,"address":"0000:07:00.0"}"},'
echo ' {"number":8,"address":"0000:08:00.0"}'
echo ']'
LIST
chmod +x "$work/hostile/veldran"
PATH=$work/hostile:$PATH expect "veldran top.bit " 0 0000:03:00.0 0000:06:00.0 7 0000:07:00.0
if [ -e ran-from-the-list ]; then
    echo "FAIL: a command from the card list ran"
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all completion checks passed"
