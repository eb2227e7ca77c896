#!/bin/sh
# First process of the test guest: runs the cases of /plan against the real
# kernel's PCI files of the cards (QEMU's model of the card, one instance
# per card), reports each run on the second serial port, and powers the
# machine off.
#
# /plan: one case a line, "NAME NUMBER ADDRESS HOLD": case_NAME runs, for
# the card the program knows as NUMBER and the kernel as ADDRESS; HOLD is
# for a case that holds a run (start). Every file of the card is the
# kernel's.
#
# Each case begins with a mark in its card's record: a one-byte read of
# configuration space at 0x40 + the case's number (reads work under
# lockdown too). 0xFF marks a card about to be removed.
#
# Report lines on /dev/ttyS1 (standard output and error in base64):
#   @@fact NAME VALUE...      @@case NUMBER NAME
#   @@run NAME STATUS  @@out  ...  @@err  ...  @@end        @@done

/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t securityfs securityfs /sys/kernel/security 2>/dev/null

stty -F /dev/ttyS1 raw -echo
exec 3>/dev/ttyS1
say() { echo "$*" >&3; }

VELDRAN=/opt/veldran
RULE=/etc/veldran/60-veldran.rules
REMOVED_MARK=191
LISTED_MARK=190

# Each card's I/O BAR, as the kernel's resource file gives it.
for d in /sys/bus/pci/devices/*; do
    if [ "$(cat "$d/vendor")" = 0x10b5 ] && [ "$(cat "$d/device")" = 0x9054 ]; then
        say "@@fact io_${d##*/} $(sed -n 2p "$d/resource")"
    fi
done
say "@@fact lockdown $(cat /sys/kernel/security/lockdown 2>/dev/null || echo absent)"

# put_byte VALUE FILE OFFSET: one single-byte write, in place.
put_byte() {
    # The format is the byte itself, as an octal escape.
    # shellcheck disable=SC2059
    printf "\\$(printf %o "$1")" | dd of="$2" bs=1 seek="$3" count=1 conv=notrunc 2>/dev/null
}

mark() {
    dd if="$card/config" of=/dev/null bs=1 skip=$((64 + $1)) count=1 2>/dev/null
}

# The control register, as the program reads it: 4 bytes at 0x6C of the
# I/O BAR, in hex.
control() {
    dd if="$card/resource1" bs=4 skip=27 count=1 2>/dev/null | od -An -tx4 | tr -d ' '
}

report() {  # report NAME STATUS OUT ERR
    say "@@run $1 $2"
    say "@@out"
    base64 <"$3" >&3
    say "@@err"
    base64 <"$4" >&3
    say "@@end"
}

# run NAME FILE [USER]: one whole run for the case's card, as root or USER.
run() {
    rm -f /tmp/out /tmp/err
    if [ -n "$3" ]; then
        su -s /bin/sh "$3" -c "$VELDRAN $2 $number >/tmp/out 2>/tmp/err"
    else
        $VELDRAN "$2" "$number" >/tmp/out 2>/tmp/err
    fi
    report "$1" $? /tmp/out /tmp/err
}

# start FILE: a run in the background, held at a known point: once it has
# printed $hold bytes (the plan's fourth field), the countdown figure of its
# second block. Its standard output is a pipe filled up to leave room for
# $hold + 6 bytes, so that the figure, 7 bytes, waits for a reader: a write
# that does not fit the last page of a pipe goes to a new page, and all 16
# pages of a pipe are taken. Reported: @@fact held_NAME yes|no.
start() {
    rm -f /tmp/held.fifo /tmp/held.err
    mkfifo /tmp/held.fifo
    exec 4<>/tmp/held.fifo
    filler=$((65536 - hold - 6))
    dd if=/dev/zero bs=4096 count=15 2>/dev/null >&4
    dd if=/dev/zero bs=$((filler - 61440)) count=1 2>/dev/null >&4
    $VELDRAN "$1" "$number" >/tmp/held.fifo 2>/tmp/held.err &
    held=$!
    n=0
    until [ "$(cat "/proc/$held/wchan" 2>/dev/null)" = pipe_write ]; do
        n=$((n + 1))
        if [ "$(cut -d' ' -f3 "/proc/$held/stat" 2>/dev/null)" = Z ] || [ $n -gt 3000 ]; then
            say "@@fact held_$name no"
            return
        fi
        usleep 10000
    done
    say "@@fact held_$name yes"
}

finish() {  # finish NAME: lets the held run go on to its end and reports it
    exec 6</tmp/held.fifo
    exec 4>&-
    tail -c +$((filler + 1)) <&6 >/tmp/held.out
    wait "$held"
    status=$?
    exec 6<&-
    report "$1" $status /tmp/held.out /tmp/held.err
}

command_register() {
    od -An -tx1 -j4 -N2 "$card/config" | tr -d ' '
}

case_prom() { run prom /data/image.prom; }
case_bit() { run bit /data/design.bit; }
case_busy() { run busy /data/small.prom; }
case_never() { run never /data/small.prom; }
case_flicker() { run flicker /data/small.prom; }
case_noio() { run noio /data/small.prom; }
case_lockdown() { run lockdown /data/small.prom; }

# Decoding switched off behind the kernel's back; the program turns it on
# through the real enable file. A second time the kernel's enable count is
# already held, so enable no longer sets the command register.
case_decode() {
    low=$(od -An -tu1 -j4 -N1 "$card/config" | tr -d ' ')
    off() { put_byte $((low & ~3)) "$card/config" 4; }
    off
    say "@@fact decode_before $(command_register)"
    run decode /data/small.prom
    say "@@fact decode_after $(command_register)"
    off
    run decode_again /data/small.prom
    say "@@fact decode_again_after $(command_register)"
    put_byte "$low" "$card/config" 4
}

# An operator in the group "veldran", with the project's udev rule applied
# to the card: its RUN command as udev would run it, %p the card's path
# under /sys.
case_user() {
    cmd=$(sed -n 's/.*RUN+="\(.*\)"$/\1/p' "$RULE" | sed 's/\$\$/$/g')
    devpath=$(readlink -f "$card")
    devpath=${devpath#/sys}
    eval "$(printf '%s' "$cmd" | sed "s|%p|$devpath|g")"
    say "@@fact rule_status $?"
    # shellcheck disable=SC2012  # modes and owners, of two known names
    say "@@fact user_modes $(ls -lL "$card/resource1" "$card/resource3" | awk '{ printf "%s%s:%s:%s", (NR > 1 ? " " : ""), $1, $3, $4 }')"
    run user /data/small.prom operator
    chmod 600 "$card/resource3"
    run user_denied /data/small.prom operator
    chmod 660 "$card/resource3"
}

# Exclusive use: a second run for the card while the first holds it.
case_exclusive() {
    start /data/large.prom
    run exclusive_second /data/small.prom
    finish exclusive_first
}

# A load, then a reset of the card through the kernel: the card is alone
# behind its bridge, so the kernel resets its bus.
case_reset() { run reset /data/small.prom; }
case_reset_after() {
    say "@@fact reset_before $(control)"
    if echo 1 >"$card/reset"; then
        say "@@fact reset_status 0"
    else
        say "@@fact reset_status failed"
    fi
    say "@@fact reset_after $(control)"
}

# The device removed from the kernel while a run is mid-stream.
case_remove() {
    start /data/large.prom
    mark $REMOVED_MARK
    echo 1 >"$card/remove"
    say "@@fact removed $([ -e "$card" ] && echo present || echo gone)"
    finish remove
}

# ---- --list on the real kernel ----------------------------------------------

# list NAME: veldran --list as root, reported as a run. The list reads
# every card's register; on the cards of other cases that goes to a mark
# of its own, so that no finished case's record grows.
list() {
    for other in /sys/bus/pci/devices/*; do
        if [ "$other" != "$card" ] && [ "$(cat "$other/vendor")" = 0x10b5 ] &&
            [ "$(cat "$other/device")" = 0x9054 ]; then
            dd if="$other/config" of=/dev/null bs=1 skip=$((64 + LISTED_MARK)) count=1 2>/dev/null
        fi
    done
    $VELDRAN --list >/tmp/out 2>/tmp/err
    report "$1" $? /tmp/out /tmp/err
}

# Decoding turned off behind the kernel's back once the card is enabled:
# enable reads more than 0, and writing 1 no longer turns decoding on. The
# list says so; then the remedy it names: write 0 until enable reads 0,
# and a run as root.
case_list_decode() {
    low=$(od -An -tu1 -j4 -N1 "$card/config" | tr -d ' ')
    [ "$(cat "$card/enable")" != 0 ] || echo 1 >"$card/enable"
    put_byte $((low & ~3)) "$card/config" 4
    say "@@fact list_decode_enable $(cat "$card/enable") $(command_register)"
    list list_enabled
    tries=0
    while [ "$(cat "$card/enable")" != 0 ] && [ $tries -lt 16 ]; do
        echo 0 >"$card/enable"
        tries=$((tries + 1))
    done
    say "@@fact list_decode_cleared $(cat "$card/enable") $(command_register)"
    list list_cleared
    run list_remedy /data/small.prom
    say "@@fact list_decode_remedied $(cat "$card/enable") $(command_register)"
}

# A run holding the card through the kernel's own resource1: the list must
# find its lock in /proc/locks, without trying it, and name the process.
case_list_held() {
    start /data/large.prom
    say "@@fact list_held_pid $held"
    say "@@fact list_held_locks $(grep FLOCK /proc/locks | tr '\n' ' ')"
    say "@@fact list_held_file $(stat -L -c '%d %i' "$card/resource1")"
    list list_held
    finish list_held_run
}

exec 5</plan
case_number=0
# The plan is read from its own descriptor, so that no case's run can take
# the rest of it from standard input.
while read -r name number address hold <&5; do
    case_number=$((case_number + 1))
    card=/sys/bus/pci/devices/$address
    say "@@case $case_number $name"
    mark $case_number
    "case_$name"
done
exec 5<&-
say "@@done"
poweroff -f
