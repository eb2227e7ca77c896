#!/bin/sh
# First process of the test guest: runs the cases named in /plan against the
# real kernel's PCI files, reports each run on the second serial port, and
# powers the machine off.
#
# The card is QEMU's pci-testdev (the first one on the bus). Its IDs are not
# a 9054's, so each case dresses it: a folder for VELDRAN_SYSFS_ROOT whose
# device entry has plain vendor/device/subsystem files with the card's IDs,
# and symlinks to the test device's real kernel files for everything else:
# config, enable, resource1 (its I/O BAR) and resource3 (its memory BAR,
# resource0); resource is a plain copy with BAR 0's line as BAR 3's. Its I/O
# register reads 0, so DONE never shows there: every case but "io" and
# "list_held" uses a plain file with DONE set for resource1 instead, and
# only its data window, config and enable are the kernel's.
#
# The second pci-testdev only marks where each case begins in QEMU's trace
# of device accesses: one byte, the case's number, written to its I/O BAR.
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
BOARD=0x3312

card=
marker=
for d in /sys/bus/pci/devices/*; do
    if [ "$(cat "$d/vendor")" != 0x1b36 ] || [ "$(cat "$d/device")" != 0x0005 ]; then
        continue
    fi
    if [ -z "$card" ]; then card=$d; else marker=$d; fi
done
name=${card##*/}
say "@@fact card $name"
say "@@fact card_mmio $(sed -n 1p "$card/resource")"
say "@@fact card_io $(sed -n 2p "$card/resource")"
say "@@fact marker_io $(sed -n 2p "$marker/resource")"
say "@@fact lockdown $(cat /sys/kernel/security/lockdown 2>/dev/null || echo absent)"

# put_byte VALUE FILE OFFSET: one single-byte write, in place.
put_byte() {
    # The format is the byte itself, as an octal escape.
    # shellcheck disable=SC2059
    printf "\\$(printf %o "$1")" | dd of="$2" bs=1 seek="$3" count=1 conv=notrunc 2>/dev/null
}

mark() {
    put_byte "$1" "$marker/resource1" 0
}

# dress ROOT real|done: lays out ROOT/bus/pci/devices/NAME over the card.
dress() {
    dev=$1/bus/pci/devices/$name
    mkdir -p "$dev"
    echo 0x10b5 >"$dev/vendor"
    echo 0x9054 >"$dev/device"
    echo 0x10b5 >"$dev/subsystem_vendor"
    echo $BOARD >"$dev/subsystem_device"
    ln -s "$card/config" "$dev/config"
    ln -s "$card/enable" "$dev/enable"
    ln -s "$card/resource0" "$dev/resource3"
    # The memory BAR's line stands in line 3 (BAR 3) as well.
    awk 'NR == 1 { bar0 = $0 } NR == 4 { print bar0; next } { print }' "$card/resource" \
        >"$dev/resource"
    if [ "$2" = real ]; then
        ln -s "$card/resource1" "$dev/resource1"
    else
        # 256 bytes, DONE (bit 1) set in the register at 0x6C.
        dd if=/dev/zero of="$dev/resource1" bs=256 count=1 2>/dev/null
        printf '\002' | dd of="$dev/resource1" bs=1 seek=108 conv=notrunc 2>/dev/null
        chmod 600 "$dev/resource1"
    fi
}

report() {  # report NAME STATUS OUT ERR
    say "@@run $1 $2"
    say "@@out"
    base64 <"$3" >&3
    say "@@err"
    base64 <"$4" >&3
    say "@@end"
}

# run NAME ROOT FILE [USER]: one whole run for card 0, as root or USER.
run() {
    rm -f /tmp/out /tmp/err
    if [ -n "$4" ]; then
        su -s /bin/sh "$4" -c "VELDRAN_SYSFS_ROOT=$2 $VELDRAN $3 0 >/tmp/out 2>/tmp/err"
    else
        VELDRAN_SYSFS_ROOT=$2 $VELDRAN "$3" 0 >/tmp/out 2>/tmp/err
    fi
    report "$1" $? /tmp/out /tmp/err
}

# start ROOT FILE: a run in the background, held (stopped) once its stream
# has begun: after the second countdown figure, so one block has been sent.
# Its standard output is rebuilt in /tmp/held.out from what was read.
start() {
    rm -f /tmp/held.fifo /tmp/held.out /tmp/held.err
    mkfifo /tmp/held.fifo
    VELDRAN_SYSFS_ROOT=$1 $VELDRAN "$2" 0 >/tmp/held.fifo 2>/tmp/held.err &
    held=$!
    exec 4</tmp/held.fifo
    : >/tmp/held.out
    while IFS= read -r line <&4; do
        printf '%s\n' "$line" >>/tmp/held.out
        [ "$line" = "Programming..." ] && break
    done
    # busybox's sh reads a given number of characters, as bash does.
    # shellcheck disable=SC3045
    IFS= read -r -n 7 figure <&4 && printf '%s' "$figure" >>/tmp/held.out
    # shellcheck disable=SC3045
    IFS= read -r -n 7 figure <&4 && printf '%s' "$figure" >>/tmp/held.out
    kill -STOP "$held"
}

finish() {  # finish NAME: lets the held run go on to its end and reports it
    kill -CONT "$held"
    cat <&4 >>/tmp/held.out
    wait "$held"
    status=$?
    exec 4<&-
    report "$1" $status /tmp/held.out /tmp/held.err
}

command_register() {
    od -An -tx1 -j4 -N2 "$card/config" | tr -d ' '
}

# A run with the real I/O BAR: the handshake reaches the device, which
# never shows DONE.
case_io() {
    dress /k/io real
    run io /k/io /data/small.prom
}

case_prom() {
    dress /k/done "done"
    run prom /k/done /data/image.prom
}

case_bit() {
    [ -d /k/done ] || dress /k/done "done"
    run bit /k/done /data/design.bit
}

# Decoding switched off behind the kernel's back; the program turns it on
# through the real enable file. A second time the kernel's enable count is
# already held, so enable no longer sets the command register.
case_decode() {
    [ -d /k/done ] || dress /k/done "done"
    low=$(od -An -tu1 -j4 -N1 "$card/config" | tr -d ' ')
    off() { put_byte $((low & ~3)) "$card/config" 4; }
    off
    say "@@fact decode_before $(command_register)"
    run decode /k/done /data/small.prom
    say "@@fact decode_after $(command_register)"
    off
    run decode_again /k/done /data/small.prom
    say "@@fact decode_again_after $(command_register)"
    put_byte "$low" "$card/config" 4
}

# An operator in the group "veldran", with the project's udev rule applied
# to the card: its RUN command as udev would run it, %p naming the dressed
# device (reached from /sys by "..", as the command prefixes /sys).
case_user() {
    dress /k/user "done"
    cmd=$(sed -n 's/.*RUN+="\(.*\)"$/\1/p' "$RULE" | sed 's/\$\$/$/g')
    devpath=/../k/user/bus/pci/devices/$name
    eval "$(printf '%s' "$cmd" | sed "s|%p|$devpath|g")"
    say "@@fact rule_status $?"
    dev=/k/user/bus/pci/devices/$name
    # shellcheck disable=SC2012  # modes and owners, of two known names
    say "@@fact user_modes $(ls -lL "$dev/resource1" "$dev/resource3" | awk '{ printf "%s%s:%s:%s", (NR > 1 ? " " : ""), $1, $3, $4 }')"
    run user /k/user /data/small.prom operator
    chmod 600 "$card/resource0"
    run user_denied /k/user /data/small.prom operator
    chmod 660 "$card/resource0"
}

case_lockdown() {
    dress /k/done "done"
    run lockdown /k/done /data/small.prom
}

# Exclusive use: a second run for the card while the first holds it.
case_exclusive() {
    [ -d /k/done ] || dress /k/done "done"
    start /k/done /data/large.prom
    run exclusive_second /k/done /data/small.prom
    finish exclusive_first
}

# The device removed from the kernel while a run is mid-stream.
case_remove() {
    [ -d /k/done ] || dress /k/done "done"
    start /k/done /data/large.prom
    echo 1 >"$card/remove"
    mark 255
    say "@@fact removed $([ -e "$card" ] && echo present || echo gone)"
    finish remove
}

# ---- --list on the real kernel: cases of their own ---------------------------

# list NAME ROOT: veldran --list as root, reported as a run. The list reads
# lockdown below the same root: the kernel's own file, through a link.
list() {
    if [ ! -e "$2/kernel/security" ]; then
        mkdir -p "$2/kernel"
        ln -s /sys/kernel/security "$2/kernel/security"
    fi
    VELDRAN_SYSFS_ROOT=$2 $VELDRAN --list >/tmp/out 2>/tmp/err
    report "$1" $? /tmp/out /tmp/err
}

# Decoding turned off behind the kernel's back once the card is enabled:
# enable reads more than 0, and writing 1 no longer turns decoding on. The
# list says so; then the remedy it names: write 0 until enable reads 0,
# and a run as root.
case_list_decode() {
    [ -d /k/done ] || dress /k/done "done"
    low=$(od -An -tu1 -j4 -N1 "$card/config" | tr -d ' ')
    [ "$(cat "$card/enable")" != 0 ] || echo 1 >"$card/enable"
    put_byte $((low & ~3)) "$card/config" 4
    say "@@fact list_decode_enable $(cat "$card/enable") $(command_register)"
    list list_enabled /k/done
    tries=0
    while [ "$(cat "$card/enable")" != 0 ] && [ $tries -lt 16 ]; do
        echo 0 >"$card/enable"
        tries=$((tries + 1))
    done
    say "@@fact list_decode_cleared $(cat "$card/enable") $(command_register)"
    list list_cleared /k/done
    run list_remedy /k/done /data/small.prom
    say "@@fact list_decode_remedied $(cat "$card/enable") $(command_register)"
    put_byte "$low" "$card/config" 4
}

# A run holding the card through the kernel's own resource1, kept from its
# end: its design name is longer than a pipe holds, and nobody reads the
# pipe until the list has run. The list must find the run's lock in
# /proc/locks and name the process.
case_list_held() {
    [ -d /k/io ] || dress /k/io real
    rm -f /tmp/held.fifo
    mkfifo /tmp/held.fifo
    VELDRAN_SYSFS_ROOT=/k/io $VELDRAN /data/long-name.bit 0 >/tmp/held.fifo 2>/tmp/held.err &
    held=$!
    exec 4</tmp/held.fifo
    tries=0
    until grep -q FLOCK /proc/locks || [ $tries -ge 100 ]; do
        usleep 100000
        tries=$((tries + 1))
    done
    say "@@fact held_pid $held"
    say "@@fact held_locks $(grep FLOCK /proc/locks | tr '\n' ' ')"
    say "@@fact held_file $(stat -L -c '%d %i' "/k/io/bus/pci/devices/$name/resource1")"
    list list_held /k/io
    cat <&4 >/tmp/held.out
    wait "$held"
    status=$?
    exec 4<&-
    report list_held_run $status /tmp/held.out /tmp/held.err
}

number=0
# One word per case; read as words so that no case's run can take the
# rest of the plan from standard input.
# shellcheck disable=SC2013
for c in $(cat /plan); do
    number=$((number + 1))
    say "@@case $number $c"
    mark $number
    "case_$c"
done
say "@@done"
poweroff -f
