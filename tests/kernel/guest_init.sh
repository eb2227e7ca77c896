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
# /run, as every system that boots with systemd has it, and in it the
# folders the package's tmpfiles.d makes at every boot.
mount -t tmpfs -o mode=755 tmpfs /run
grep '^d ' /etc/veldran/veldran-tmpfiles.conf | while read -r _ path mode user group _; do
    mkdir -p "$path" && chown "$user:$group" "$path" && chmod "$mode" "$path"
done
mount -t securityfs securityfs /sys/kernel/security 2>/dev/null

stty -F /dev/ttyS1 raw -echo
exec 3>/dev/ttyS1
say() { echo "$*" >&3; }

VELDRAN=/opt/veldran
RULE=/etc/veldran/60-veldran.rules
VFIO_RULE=/etc/veldran/61-veldran-vfio.rules
REMOVED_MARK=191
LISTED_MARK=190

# Each card's I/O BAR, as the kernel's resource file gives it.
for d in /sys/bus/pci/devices/*; do
    if [ "$(cat "$d/vendor")" = 0x10b5 ] && [ "$(cat "$d/device")" = 0x9054 ]; then
        say "@@fact io_${d##*/} $(sed -n 2p "$d/resource")"
    fi
done
say "@@fact lockdown $(cat /sys/kernel/security/lockdown 2>/dev/null || echo absent)"

# The kernel's VFIO modules, fetched with it. Busybox's modprobe follows
# modules.dep but not the softdep that loads the type1 IOMMU backend, so it
# is loaded by name: without it a container offers no IOMMU type.
modprobe vfio-pci && modprobe vfio_iommu_type1
say "@@fact vfio_modules $? $(cd /sys/module && echo vfio*)"

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
        # Ended: a zombie, or already reaped by the shell's wait for another child.
        state=$(cut -d' ' -f3 "/proc/$held/stat" 2>/dev/null)
        if [ "${state:-Z}" = Z ] || [ $n -gt 3000 ]; then
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

# ---- VFIO -------------------------------------------------------------------

# The project's opt-in rule for VFIO, applied to the case's card as udev
# applies it: rule_line SUBSYSTEM gives its rule for that subsystem, its
# continued lines joined; rule_key LINE KEY the value a key assigns; and
# rule_command COMMAND NAME what udev runs, %k the device's kernel name.
rule_line() {
    sed -e ':a' -e '/\\$/{' -e 'N' -e 's/\\\n//' -e 'ba' -e '}' "$VFIO_RULE" |
        grep "^SUBSYSTEM==\"$1\""
}
rule_key() {
    printf '%s' "$1" | sed -n "s/.*[ ,]$2=\"\([^\"]*\)\".*/\1/p"
}
rule_command() {
    printf '%s' "$1" | sed -e "s|%k|$2|g" -e 's/\$\$/$/g'
}

# vfio_bind: binds the case's card to vfio-pci as the rule does when the
# card appears (its driver_override, then what it runs), and gives the
# group device to the group the rule names where the rule's test passes,
# as it does when the device appears.
vfio_bind() {
    pci=$(rule_line pci)
    rule_key "$pci" 'ATTR{driver_override}' >"$card/driver_override" || return 1
    printf '%s' "$pci" | grep -o 'RUN+="[^"]*"' | sed 's/^RUN+="//; s/"$//' >/tmp/rule.run
    while read -r command; do
        eval "$(rule_command "$command" "${card##*/}")" || return 1
    done </tmp/rule.run
    [ "$(basename "$(readlink "$card/driver")")" = vfio-pci ] || return 1
    group=$(rule_line vfio)
    if eval "$(rule_command "$(rule_key "$group" PROGRAM)" "$(vfio_group)")"; then
        chgrp "$(rule_key "$group" GROUP)" "$(group_device)" &&
            chmod "$(rule_key "$group" MODE)" "$(group_device)"
    fi
}

# The card's IOMMU group: its number, and its device under /dev/vfio.
vfio_group() { basename "$(readlink "$card/iommu_group")"; }
group_device() { echo "/dev/vfio/$(vfio_group)"; }

# The processes that have the card's group device open, by PID: a run, or
# the holder a run left.
group_users() {
    dev=$(group_device)
    for fd in /proc/[0-9]*/fd/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "$dev" ] && pid=${fd#/proc/} && echo "${pid%%/*}"
    done | sort -u | tr '\n' ' '
}

# What the guest sees of a bound card: its driver, its group and the
# group's members, the reset the kernel will use, the group device's mode.
vfio_facts() {  # vfio_facts NAME
    # shellcheck disable=SC2012  # the mode and owners of one known name
    say "@@fact $1 $(basename "$(readlink "$card/driver")") group $(vfio_group): $(ls "/sys/kernel/iommu_groups/$(vfio_group)/devices" | tr '\n' ' ')reset $(cat "$card/reset_method") dev $(ls -l "$(group_device)" | awk '{ print $1 ":" $3 ":" $4 }')"
}

# ---- runs through VFIO, under lockdown -------------------------------------
# A successful run leaves a holder that keeps the device open, so that the
# kernel's reset at the last close does not undo the load; each case's
# record shows the reset at the open and any reset after it.

# invoke NAME USER ARGS...: veldran ARGS as USER (root for "-"), reported.
invoke() {
    what=$1
    user=$2
    shift 2
    rm -f /tmp/out /tmp/err
    if [ "$user" = - ]; then
        $VELDRAN "$@" >/tmp/out 2>/tmp/err
    else
        su -s /bin/sh "$user" -c "$VELDRAN $* >/tmp/out 2>/tmp/err"
    fi
    report "$what" $? /tmp/out /tmp/err
}

# gone: waits until no process has the group device open (the kernel
# closes a process's files as it ends).
gone() {
    n=0
    while [ -n "$(group_users)" ] && [ $n -lt 1000 ]; do
        usleep 10000
        n=$((n + 1))
    done
}

case_vfio_run() {
    vfio_bind
    say "@@fact vfio_bound $?"
    vfio_facts vfio_card
    run vfio_run /data/image.prom
    say "@@fact vfio_run_users $(group_users)"
}

# The run has ended: the card still shows DONE, and nothing resets it.
case_vfio_kept() {
    say "@@fact vfio_kept_control $(control)"
    say "@@fact vfio_kept_users $(group_users)"
}

# The next run of the card takes it over from the holder.
case_vfio_takeover() {
    say "@@fact vfio_takeover_before $(group_users)"
    run vfio_takeover /data/image.prom
    say "@@fact vfio_takeover_after $(group_users)"
}

case_vfio_release() {
    invoke vfio_release - --release "$number"
    say "@@fact vfio_release_users $(group_users)"
    say "@@fact vfio_release_control $(control)"
    invoke vfio_release_again - --release "$number"
}

case_vfio_bit() {
    vfio_bind
    run vfio_bit /data/design.bit
    say "@@fact vfio_bit_holder $(group_users)"
}

# A window the kernel will not let VFIO map: smaller than a page and not
# at the start of one. The firmware puts every memory BAR at the start of
# a page (for pass-through), the kernel keeps what it finds, and only a
# BAR left unassigned gets its own smaller alignment from the kernel. So
# the card is taken off the bus, reset through its bridge (which clears
# its BARs) and found again.
case_vfio_placed() {
    bridge=$(dirname "$(readlink -f "$card")")
    if echo 1 >"$card/remove" && echo 1 >"$bridge/reset" && echo 1 >/sys/bus/pci/rescan; then
        say "@@fact vfio_placed $(sed -n 4p "$card/resource")"
    else
        say "@@fact vfio_placed failed"
    fi
}
case_vfio_unmapped() {
    vfio_bind
    say "@@fact vfio_unmapped_window $(sed -n 4p "$card/resource")"
    run vfio_unmapped /data/image.prom
}

# An ordinary user: without the group veldran the group device is closed
# to them; a member of it programs the card.
case_vfio_user() {
    vfio_bind
    vfio_facts vfio_user_card
    run vfio_stranger /data/small.prom stranger
    invoke vfio_stranger_list stranger --list
    run vfio_user /data/small.prom operator
    # shellcheck disable=SC2046  # one PID a word
    say "@@fact vfio_user_holder $(for pid in $(group_users); do stat -c %U "/proc/$pid"; done)"
}

# A second run while the first holds the card mid-stream.
case_vfio_concurrent() {
    vfio_bind
    start /data/large.prom
    run vfio_concurrent_second /data/small.prom
    finish vfio_concurrent_first
}

# A holder killed: nothing of it keeps the next run from the card.
case_vfio_killed() {
    vfio_bind
    run vfio_killed /data/small.prom
    holder=$(group_users)
    say "@@fact vfio_killed_holder $holder"
    # shellcheck disable=SC2086  # one PID a word
    kill -9 $holder
    gone
    say "@@fact vfio_killed_after $(group_users)"
}
case_vfio_after_kill() {
    run vfio_after_kill /data/small.prom
}

# A failed run and an interrupted one leave no holder.
case_vfio_never() {
    vfio_bind
    run vfio_never /data/small.prom
    say "@@fact vfio_never_users $(group_users)"
}
case_vfio_interrupted() {
    vfio_bind
    start /data/large.prom
    kill -TERM "$held"
    finish vfio_interrupted
    say "@@fact vfio_interrupted_users $(group_users)"
}

# A card left unbound, under lockdown; then the list of every card, and
# the commands it gives to bind that one, run as given.
case_vfio_unbound() {
    run vfio_unbound /data/small.prom
    list vfio_list
    sed -n "/  ${card##*/}  /,/^[0-9]/p" /tmp/out | sed -n -e 's/^        \(modprobe .*\)$/\1/p' -e 's/^        \(echo .*\)$/\1/p' >/tmp/remedy
    say "@@fact vfio_remedy $(wc -l </tmp/remedy) $(sh -e /tmp/remedy && echo ran)"
    run vfio_remedied /data/small.prom
}

# Lockdown without an IOMMU: no group for the card, so no VFIO either.
case_list_lockdown() {
    say "@@fact list_lockdown_groups $(find /sys/kernel/iommu_groups -mindepth 1 -maxdepth 1 | wc -l) $([ -e "$card/iommu_group" ] && echo linked || echo unlinked)"
    list list_lockdown
}

# ---- the benchmark's runs (veldran-kernel-bench) ---------------------------

# Three runs of the benchmark's image for the case's card, each with the
# guest's uptime before and after it.
bench() {
    for i in 1 2 3; do
        before=$(cut -d' ' -f1 /proc/uptime)
        run "${name}_$i" /data/bench.prom
        say "@@fact seconds_${name}_$i $before $(cut -d' ' -f1 /proc/uptime)"
    done
}
case_bench_sysfs() { bench; }
case_bench_mapped() { vfio_bind && bench; }
case_bench_unmapped() { vfio_bind && bench; }

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
