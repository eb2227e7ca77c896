#!/bin/bash
# Builds the Debian package from a copy of the sources (dpkg-buildpackage,
# debian/), unpacks it (never installs it) and checks what an operator would
# get: the files and their modes, the control fields, the copyright and
# changelog, the hardening of the binary, lintian's verdict, the maintainer
# script, the udev rule's command, the manual page, and the packaged binary
# programming a simulated card.
#
#   check_deb.sh BUILD_DIR SOURCE_DIR SIMBUS VERSION [CMAKE [PREFIX]]
#
# PREFIX is BUILD_DIR's install prefix. Exit status 77 (skipped) when
# dpkg-buildpackage, debhelper or dpkg-deb is missing; on CI (CI set), 1.
# lintian is run when it is installed.

set -u -o pipefail

build_dir=${1:?build folder}
source_dir=${2:?source folder}
simbus=${3:-}
version=${4:?package version}
cmake=${5:-cmake}
prefix=${6:-/usr/local}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
skip() { echo "SKIP: $*"; [[ -z ${CI:-} ]] || exit 1; exit 77; }

for tool in dpkg-buildpackage dh dpkg-deb; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/veldran-deb.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

# --- build the package from a copy of the sources -------------------------
# dpkg-buildpackage builds inside the source folder and writes the package
# beside it; a copy keeps both out of the developer's tree. Build folders
# and debhelper's leftovers from a manual build are not copied.
excludes=(--exclude=./.git "--exclude=./obj-*" --exclude=./debian/.debhelper
    --exclude=./debian/tmp --exclude=./debian/veldran --exclude=./debian/files
    "--exclude=./debian/*.substvars" --exclude=./debian/debhelper-build-stamp)
for dir in "$source_dir"/*/; do
    [ -e "$dir/CMakeCache.txt" ] && excludes+=("--exclude=./$(basename "$dir")")
done
mkdir "$work/src"
if ! tar -C "$source_dir" "${excludes[@]}" -cf - . | tar -C "$work/src" -xf -; then
    echo "FAIL: could not copy the sources"
    exit 1
fi
if ! (cd "$work/src" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
    tail -n 60 "$work/build.log"
    echo "FAIL: dpkg-buildpackage -us -uc -b failed"
    exit 1
fi
arch=$(dpkg --print-architecture 2>/dev/null || echo unknown)
deb=$work/veldran_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
    ls -l "$work"
    echo "FAIL: no $(basename "$deb"): the changelog's version is not $version?"
    exit 1
fi
pass "dpkg-buildpackage made $(basename "$deb")"

# --- control fields --------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
expect_field() { # NAME VALUE
    if [ "$(field "$1")" = "$2" ]; then
        pass "$1: $2"
    else
        fail "$1 is '$(field "$1")', not $2"
    fi
}
expect_field Package veldran
expect_field Version "$version"
expect_field Architecture "$arch"
depends=$(field Depends)
case "$depends" in
    *libc6*) pass "Depends: $depends" ;;
    *) fail "Depends does not name libc6: '$depends'" ;;
esac
case "$(field Section)" in
    utils | electronics) pass "Section: $(field Section)" ;;
    *) fail "Section is '$(field Section)'" ;;
esac
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
description=$(field Description)
if [ "$(printf '%s\n' "$description" | wc -l)" -lt 2 ]; then
    fail "Description has no long text: '$description'"
fi
case "$description" in
    *9054*) ;;
    *) fail "Description does not mention the 9054 bridge" ;;
esac

# --- contents: exactly the operator's files, owned by root ----------------
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c failed"
# Columns: mode owner/group size date time path
awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' "$work/contents" | sort >"$work/files"
expected=(usr/bin/veldran usr/lib/udev/rules.d/60-veldran.rules
    lib/systemd/system/veldran-load@.service usr/libexec/veldran/veldran-load
    usr/lib/tmpfiles.d/veldran.conf
    usr/share/doc/veldran/README.md usr/share/man/man1/veldran.1
    usr/share/doc/veldran/copyright usr/share/doc/veldran/changelog.gz
    usr/share/bash-completion/completions/veldran
    usr/share/doc/veldran/examples/61-veldran-vfio.rules)
if [ -f "$source_dir/debian/veldran.lintian-overrides" ]; then
    expected+=(usr/share/lintian/overrides/veldran)
fi
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
# Debian compresses the manual page and, past a few KiB, the README.
sed -e 's|^usr/share/man/man1/veldran\.1\.gz$|usr/share/man/man1/veldran.1|' \
    -e 's|^usr/share/doc/veldran/README\.md\.gz$|usr/share/doc/veldran/README.md|' \
    "$work/files" | sort >"$work/files.norm"
if diff -u "$work/expected" "$work/files.norm" >"$work/files.diff"; then
    pass "the package holds exactly the operator's files, copyright and changelog"
else
    cat "$work/files.diff"
    fail "the package's files differ from the expected list"
fi
if awk '$2 != "root/root" { bad = 1; print } END { exit bad }' "$work/contents" >"$work/owners"; then
    pass "every entry is owned by root/root"
else
    cat "$work/owners"
    fail "entries not owned by root/root"
fi
programs='[.]/usr/(bin/veldran|libexec/veldran/veldran-load)$'
if [ "$(grep -Ec "^-rwxr-xr-x .*$programs" "$work/contents")" = 2 ]; then
    pass "usr/bin/veldran and usr/libexec/veldran/veldran-load are mode 0755"
else
    fail "usr/bin/veldran or usr/libexec/veldran/veldran-load is not mode 0755"
fi
if awk -v programs="$programs" '$1 ~ /^-/ && $6 !~ programs && $1 != "-rw-r--r--" { bad = 1; print } END { exit bad }' \
    "$work/contents" >"$work/modes"; then
    pass "data files are mode 0644"
else
    cat "$work/modes"
    fail "data files with a mode other than 0644"
fi

# --- unpack and compare with the sources ----------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x failed"; exit 1; }
doc=$root/usr/share/doc/veldran
unpacked() { # PATH: the file, uncompressed into the scratch folder if need be
    if [ ! -f "$1" ] && [ -f "$1.gz" ]; then
        local plain
        plain=$work/unpacked.$(basename "$1")
        gzip -dc "$1.gz" >"$plain" || fail "$1.gz is damaged"
        echo "$plain"
    else
        echo "$1"
    fi
}
rule=$root/usr/lib/udev/rules.d/60-veldran.rules
man=$(unpacked "$root/usr/share/man/man1/veldran.1")
readme=$(unpacked "$doc/README.md")
completion=$root/usr/share/bash-completion/completions/veldran
for pair in "$rule:$source_dir/udev/60-veldran.rules" "$man:$build_dir/veldran.1" \
    "$readme:$source_dir/README.md" "$completion:$source_dir/completion/veldran.bash" \
    "$doc/examples/61-veldran-vfio.rules:$source_dir/udev/61-veldran-vfio.rules"; do
    packaged=${pair%%:*} original=${pair#*:}
    if cmp -s "$packaged" "$original"; then
        pass "${original#"$source_dir"/} packaged unchanged"
    else
        fail "${original#"$source_dir"/} is missing from the package or differs"
    fi
done
[ -x "$root/usr/bin/veldran" ] || fail "usr/bin/veldran is not an executable"

# --- copyright: machine-readable, the licence of LICENSE ------------------
copyright=$doc/copyright
if [ "$(head -n1 "$copyright" 2>/dev/null)" = \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ]; then
    pass "copyright is in the machine-readable format 1.0"
else
    fail "copyright is missing or its first line is not the format 1.0 URL"
fi
# The stand-alone "License: Expat" paragraph, unfolded, against the
# permission text of LICENSE: the two must not drift apart.
awk '/^License: Expat$/ { inlicence = 1; next }
     inlicence && /^ / { sub(/^ /, ""); if ($0 == ".") $0 = ""; print; next }
     { inlicence = 0 }' "$copyright" >"$work/copyright.text"
sed -n '/^Permission is hereby granted/,$p' "$source_dir/LICENSE" >"$work/licence.text"
if [ -s "$work/licence.text" ] && cmp -s "$work/licence.text" "$work/copyright.text"; then
    pass "copyright carries the MIT (Expat) text of LICENSE"
else
    diff -u "$work/licence.text" "$work/copyright.text" | head -n 20
    fail "copyright's Expat licence differs from LICENSE"
fi
if grep -Eq '^Files: \*$' "$copyright" &&
    grep -Eq '^Copyright: .*the VELDRAN developers$' "$copyright" &&
    grep -Eq '^Copyright \(c\) .*the VELDRAN developers$' "$source_dir/LICENSE"; then
    pass "copyright and LICENSE name the VELDRAN developers for every file"
else
    fail "copyright has no 'Files: *' paragraph for the VELDRAN developers, or LICENSE does not name them"
fi

# --- changelog: Debian's format, for a native package ---------------------
if [ -e "$doc/changelog.Debian.gz" ]; then
    fail "changelog.Debian.gz is for non-native packages; a native one has changelog.gz only"
fi
if gzip -dc "$doc/changelog.gz" >"$work/changelog" 2>/dev/null &&
    dpkg-parsechangelog -l "$work/changelog" >"$work/changelog.fields" 2>"$work/changelog.err"; then
    if grep -qx 'Source: veldran' "$work/changelog.fields" &&
        grep -qx "Version: $version" "$work/changelog.fields"; then
        pass "changelog.gz is a Debian changelog of veldran $version"
    else
        cat "$work/changelog.fields"
        fail "changelog.gz is not for veldran $version"
    fi
else
    cat "$work/changelog.err" 2>/dev/null
    fail "changelog.gz is missing, damaged or not in Debian's format"
fi

# --- hardening of the installed binary ------------------------------------
bin=$root/usr/bin/veldran
if command -v readelf >/dev/null 2>&1; then
    readelf -hW "$bin" >"$work/elf.header"
    readelf -dW "$bin" >"$work/elf.dynamic"
    readelf -lW "$bin" >"$work/elf.segments"
    readelf --dyn-syms -W "$bin" >"$work/elf.symbols"
    hardening() { # WHAT FILE PATTERN
        if grep -Eq "$3" "$2"; then pass "hardening: $1"; else fail "hardening: no $1"; fi
    }
    hardening "PIE (position-independent executable)" "$work/elf.header" 'Type: +DYN '
    hardening "RELRO" "$work/elf.segments" 'GNU_RELRO'
    hardening "immediate binding (-z now)" "$work/elf.dynamic" 'BIND_NOW|FLAGS_1.*NOW'
    hardening "stack protector" "$work/elf.symbols" ' __stack_chk_fail(@|$)'
    hardening "_FORTIFY_SOURCE (checked libc calls)" "$work/elf.symbols" ' __[a-z]+_chk(@|$)'
else
    fail "readelf not found: hardening not checked"
fi

# --- lintian ---------------------------------------------------------------
# No error, no warning, no hardening tag; overridden tags (O:) are shown
# with their reason in the package.
if command -v lintian >/dev/null 2>&1; then
    if lintian --pedantic --display-info --show-overrides --fail-on none "$deb" \
        >"$work/lintian.out" 2>"$work/lintian.err"; then
        cat "$work/lintian.out"
        if grep -Eq '^[EW]: |hardening-' "$work/lintian.out"; then
            fail "lintian reports errors, warnings or hardening tags"
        else
            pass "lintian --pedantic: no error, warning or hardening tag"
        fi
    else
        cat "$work/lintian.out" "$work/lintian.err"
        fail "lintian could not check the package"
    fi
else
    echo "note: lintian not installed; not run"
fi

# --- manual page: renders without a warning -------------------------------
if command -v groff >/dev/null 2>&1; then
    if warnings=$(groff -man -ww -z "$man" 2>&1) && [ -z "$warnings" ]; then
        pass "groff -man -ww renders the manual page without warnings"
    else
        printf '%s\n' "$warnings"
        fail "groff reports problems in the manual page"
    fi
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'FILE FORMATS' CARD 'EXIT STATUS' \
        RECORDS ENVIRONMENT FILES 'ACCESS WITHOUT ROOT' 'LOADING AT BOOT' TROUBLESHOOTING EXAMPLES 'SEE ALSO'; do
        grep -Eq "^\.SH \"?$section\"?\$" "$man" || fail "manual page has no $section section"
    done
    for status in 0 100 101 102 103 104 105; do
        grep -q "^\.B $status\$" "$man" || fail "manual page does not describe exit status $status"
    done
else
    echo "note: groff not installed; manual page rendering not checked"
fi

# --- maintainer script -----------------------------------------------------
control=$work/control
dpkg-deb -e "$deb" "$control" || fail "dpkg-deb -e failed"
if (cd "$root" && md5sum --quiet -c "$control/md5sums") >"$work/md5.out" 2>&1; then
    pass "md5sums match the unpacked files"
else
    cat "$work/md5.out"
    fail "md5sums do not match the unpacked files"
fi
postinst=$control/postinst
if [ ! -x "$postinst" ]; then
    fail "the package has no executable postinst"
elif ! sh -n "$postinst"; then
    fail "postinst is not valid sh"
elif grep -q '#DEBHELPER#' "$postinst"; then
    fail "postinst still holds the #DEBHELPER# token"
else
    # Run it against stand-ins of the system tools (PATH holds nothing
    # else), so nothing on this machine is changed.
    stubs=$work/stubs
    run_postinst() { # GROUP_EXISTS(0/1) TOOLS... -- ARGS...
        local exists=$1
        shift
        rm -rf "$stubs"
        mkdir -p "$stubs"
        : >"$work/calls"
        printf '#!/bin/sh\necho "getent $*" >>"%s"\n[ %s = 1 ]\n' "$work/calls" "$exists" \
            >"$stubs/getent"
        while [ "$1" != -- ]; do
            # Each stand-in logs its call and fails, as a tool might.
            printf '#!/bin/sh\necho "%s $*" >>"%s"\nexit 1\n' "$1" "$work/calls" >"$stubs/$1"
            shift
        done
        shift
        chmod +x "$stubs"/*
        PATH=$stubs /bin/sh "$postinst" "$@" >"$work/postinst.out" 2>&1
    }
    if run_postinst 0 addgroup groupadd udevadm -- configure &&
        grep -qx 'addgroup --system veldran' "$work/calls" &&
        ! grep -q '^groupadd' "$work/calls"; then
        pass "postinst creates the group with addgroup --system, and its failure does not fail the install"
    else
        cat "$work/calls" "$work/postinst.out"
        fail "postinst, group absent"
    fi
    if run_postinst 0 groupadd udevadm -- configure &&
        grep -qx 'groupadd --system veldran' "$work/calls"; then
        pass "postinst falls back to groupadd --system"
    else
        cat "$work/calls" "$work/postinst.out"
        fail "postinst, only groupadd"
    fi
    if run_postinst 1 addgroup groupadd udevadm -- configure &&
        ! grep -Eq '^(addgroup|groupadd)' "$work/calls"; then
        pass "postinst leaves an existing group alone"
    else
        cat "$work/calls" "$work/postinst.out"
        fail "postinst, group present"
    fi
    if run_postinst 0 -- configure; then
        pass "postinst succeeds with no group or udev tools (a bare chroot)"
    else
        cat "$work/postinst.out"
        fail "postinst, bare chroot"
    fi
    if run_postinst 0 addgroup groupadd udevadm -- abort-upgrade 1.0 &&
        [ ! -s "$work/calls" ]; then
        pass "postinst does nothing but on configure"
    else
        cat "$work/calls"
        fail "postinst, abort-upgrade"
    fi
    # debhelper's call of systemd-tmpfiles gives cards/ to the group: it
    # must come after the group is made.
    group_line=$(grep -n 'addgroup --system veldran' "$postinst" | head -n 1 | cut -d: -f1)
    tmpfiles_line=$(grep -n 'systemd-tmpfiles .*--create veldran.conf' "$postinst" | head -n 1 | cut -d: -f1)
    if [ -n "$group_line" ] && [ -n "$tmpfiles_line" ] && [ "$group_line" -lt "$tmpfiles_line" ]; then
        pass "postinst makes the group (line $group_line) before systemd-tmpfiles (line $tmpfiles_line)"
    else
        fail "postinst: the group (line ${group_line:-none}) is not made before systemd-tmpfiles (line ${tmpfiles_line:-none})"
    fi
fi

# --- the folders of the records (tmpfiles.d) -------------------------------
# As systemd-tmpfiles makes them at boot, in a scratch root whose group
# file has veldran.
if command -v systemd-tmpfiles >/dev/null 2>&1; then
    boot=$work/boot
    mkdir -p "$boot/etc" "$boot/run"
    printf 'root:x:0:\nveldran:x:987:\n' >"$boot/etc/group"
    printf 'root:x:0:0:root:/root:/bin/sh\n' >"$boot/etc/passwd"
    systemd-tmpfiles --root="$boot" --create "$root/usr/lib/tmpfiles.d/veldran.conf" ||
        fail "systemd-tmpfiles rejects usr/lib/tmpfiles.d/veldran.conf"
    made=$(cd "$boot/run" && stat -c '%n %a %u:%g' veldran veldran/cards veldran/hold 2>&1 | tr '\n' ' ')
    if [ "$made" = "veldran 755 0:0 veldran/cards 2775 0:987 veldran/hold 2775 0:987 " ]; then
        pass "tmpfiles.d makes /run/veldran 0755 root, cards/ and hold/ 2775 of the group veldran"
    else
        fail "tmpfiles.d made: $made"
    fi
else
    [ -z "${CI:-}" ] || fail "systemd-tmpfiles not found (package systemd)"
    echo "note: systemd-tmpfiles not found: the folders of the records not checked"
fi

# --- the udev rule ---------------------------------------------------------
if grep -Eq '^SUBSYSTEM=="pci", ACTION=="[^"]*add[^"]*", ATTR\{vendor\}=="0x10b5", ATTR\{device\}=="0x9054",' "$rule"; then
    pass "udev rule matches PCI devices 10b5:9054 on add"
else
    fail "udev rule does not match SUBSYSTEM pci, vendor 0x10b5, device 0x9054 on add"
fi
if command -v udevadm >/dev/null 2>&1 && udevadm verify --help >/dev/null 2>&1; then
    if udevadm verify "$rule" >"$work/verify" 2>&1; then
        pass "udevadm verify accepts the rule"
    else
        cat "$work/verify"
        fail "udevadm verify rejects the rule"
    fi
fi
# The rule's command as udev runs it for DEVICE ($$ -> $, %p -> the
# device path), giving the files to GROUP instead of veldran.
command=$(sed -n "s|.*RUN+=\"/bin/sh -c '\\(.*\\)'\"\$|\\1|p" "$rule")
apply_rule() { # DEVICE_FOLDER GROUP
    local expanded
    expanded=$(printf '%s' "$command" | sed -e 's/\$\$/$/g' -e "s|/sys%p|$1|g" \
        -e "s/chgrp veldran /chgrp $2 /")
    sh -c "$expanded"
}
device=$work/device
mkdir -p "$device"
for f in config resource1 resource3 enable; do : >"$device/$f"; done
chmod 0644 "$device/config"
chmod 0600 "$device/resource1" "$device/resource3" "$device/enable"
group=$(id -gn)
if [ -z "$command" ]; then
    fail "udev rule has no RUN+=\"/bin/sh -c '...'\" command"
elif apply_rule "$device" "$group"; then
    modes=$(cd "$device" && stat -c '%n %a %G' config resource1 resource3 enable | tr '\n' ' ')
    if [ "$modes" = "config 644 $group resource1 660 $group resource3 660 $group enable 600 $group " ]; then
        pass "udev rule command makes resource1 and resource3 group read/write, leaves the rest"
    else
        fail "udev rule command left: $modes"
    fi
else
    fail "udev rule command failed"
fi

# The record of a card goes with it: the command the rule runs on
# "remove", as udev expands it for the card at 0000:03:00.0, with /run a
# scratch folder.
removal=$(sed -n '/ACTION=="remove"/,/RUN+=/ s|.*RUN+="\([^"]*\)".*|\1|p' "$rule")
run_dir=$work/run
mkdir -p "$run_dir/veldran/cards"
: >"$run_dir/veldran/cards/0000:03:00.0"
: >"$run_dir/veldran/cards/0000:04:00.0"
if grep -Eq '^SUBSYSTEM=="pci", ACTION=="remove", ENV\{PCI_ID\}=="10B5:9054",' "$rule" &&
    [ -n "$removal" ] &&
    sh -c "$(printf '%s' "$removal" | sed -e 's/%k/0000:03:00.0/g' -e "s|/run/|$run_dir/|g")" &&
    [ ! -e "$run_dir/veldran/cards/0000:03:00.0" ] && [ -e "$run_dir/veldran/cards/0000:04:00.0" ]; then
    pass "udev rule removes the card's record, and only that, when a 10B5:9054 card goes"
else
    fail "udev rule's removal of the record: '$removal'"
fi

# --- the opt-in VFIO rule -------------------------------------------------
# Its test of a group's devices as udev runs it for group N ($$ -> $, %k ->
# N), against groups laid out under a folder of our own for /sys.
vfio_rule=$doc/examples/61-veldran-vfio.rules
if grep -Eq '^SUBSYSTEM=="pci", ACTION=="[^"]*add[^"]*", ATTR\{vendor\}=="0x10b5", ATTR\{device\}=="0x9054", \\$' "$vfio_rule" &&
    grep -q 'ATTR{driver_override}="vfio-pci"' "$vfio_rule"; then
    pass "VFIO rule binds PCI devices 10b5:9054 to vfio-pci on add"
else
    fail "VFIO rule does not set driver_override for 10b5:9054 on add"
fi
program=$(sed -n "s|.*PROGRAM=\"/bin/sh -c '\\(.*\\)'\", \\\\\$|\\1|p" "$vfio_rule")
groups=$work/iommu_groups
# Group 8: a 9056, and a device whose IDs are a 9054's the wrong way round.
while read -r group address vendor device_id; do
    folder=$groups/$group/devices/$address
    mkdir -p "$folder" && echo "$vendor" >"$folder/vendor" && echo "$device_id" >"$folder/device"
done <<'GROUPS'
7 0000:03:00.0 0x10b5 0x9054
7 0000:00:1e.0 0x8086 0x244e
8 0000:04:00.0 0x10b5 0x9056
8 0000:05:00.0 0x9054 0x10b5
GROUPS
in_group() { # N: whether the rule's test gives group N to veldran
    sh -c "$(printf '%s' "$program" | sed -e 's/\$\$/$/g' -e "s|%k|$1|g" -e "s|/sys/kernel/iommu_groups|$groups|")"
}
if [ -z "$program" ]; then
    fail "VFIO rule has no PROGRAM=\"/bin/sh -c '...'\" test"
elif in_group 7 && ! in_group 8; then
    pass "VFIO rule gives the group device of a group with a 9054 card, and no other, to veldran"
else
    fail "VFIO rule's test of the group's devices is wrong"
fi

# --- the unit that loads a card as it appears -----------------------------
# verify reads the unit as systemd would, failing on any warning, and checks
# that ExecStart's command and Documentation's page exist under each root:
# the package, and an install under PREFIX staged with DESTDIR (the unit
# names its command by the configured path). Neither root holds systemd's
# own units, hence no recursive errors.
unit=veldran-load@.service
verify_unit() { # ROOT PREFIX
    if MANPATH=$1$2/share/man systemd-analyze verify --recursive-errors=no --root="$1" "$unit"; then
        pass "systemd-analyze verify accepts $unit installed under $2"
    else
        fail "systemd-analyze verify rejects $unit installed under $2"
    fi
}
if command -v systemd-analyze >/dev/null 2>&1; then
    verify_unit "$root" /usr
    case $prefix in /usr | /usr/local) # where systemd looks for units
        DESTDIR=$work/stage "$cmake" --install "$build_dir" --component veldran >/dev/null
        verify_unit "$work/stage" "$prefix" ;;
    esac
    # The rule wants the template and names the device unit it binds to.
    wants=$(sed -n 's/.*ENV{SYSTEMD_WANTS}+="\([^"]*\)".*/\1/p' "$rule")
    alias=$(sed -n 's|.*ENV{SYSTEMD_ALIAS}+="\([^"]*\)".*|\1|p' "$rule")
    binds=$(sed -n 's/^BindsTo=//p' "$root/lib/systemd/system/$unit")
    if [ "${wants/@%k./@.}" = "$unit" ] && [ -n "$alias" ] &&
        [ "$(systemd-escape --path --suffix=device "${alias//%k/0000:03:00.0}")" = "${binds//%i/0000:03:00.0}" ]; then
        pass "the rule wants $unit and names the device unit it binds to"
    else
        fail "the rule's SYSTEMD_WANTS '$wants' or SYSTEMD_ALIAS '$alias' does not fit BindsTo=$binds"
    fi
else
    [ -z "${CI:-}" ] || fail "systemd-analyze not found (package systemd)"
    echo "note: systemd-analyze not found (package systemd): $unit not checked"
fi

# --- the packaged binary programs a simulated card ------------------------
"$bin" >"$work/usage.out" 2>&1
status=$?
if [ "$status" -eq 100 ] && grep -q 'program usage' "$work/usage.out"; then
    pass "packaged veldran without arguments prints usage, status 100"
else
    cat "$work/usage.out"
    fail "packaged veldran without arguments: status $status"
fi
if [ -z "$simbus" ] || [ ! -x "$simbus" ]; then
    fail "the simulated bus tool '$simbus' is not there"
else
    sim=$work/sim
    if ! "$simbus" "$sim" addr=0000:01:00.0,subsys=0x3312 >"$work/simbus.out" 2>&1; then
        cat "$work/simbus.out"
        fail "veldran-simbus could not make a simulated card"
    else
        if VELDRAN_SYSFS_ROOT=$sim "$bin" --list >"$work/list.out" 2>&1 &&
            grep -Eq '^0 +0000:01:00\.0 +Quorvel KX-20 card +yes$' "$work/list.out"; then
            pass "packaged veldran --list shows the simulated KX-20 as card 0"
        else
            cat "$work/list.out"
            fail "packaged veldran --list"
        fi
        prom=$work/image.prom
        { printf '\377\000\000\000\125\231\252\146'; head -c 40000 /dev/zero | tr '\0' '\132'; } >"$prom"
        size=$(stat -c %s "$prom")
        VELDRAN_SYSFS_ROOT=$sim "$bin" "$prom" 0 >"$work/run.out" 2>"$work/run.err"
        status=$?
        if [ "$status" -eq 0 ] &&
            grep -q "Successfully programmed $size bytes\." "$work/run.out" &&
            grep -q 'Function complete\.' "$work/run.out" &&
            grep -q 'Found Quorvel KX-20 card' "$work/run.out" &&
            grep -q 'Using PCI device at bus 1/device 0\.' "$work/run.out" &&
            grep -qx 'result=programmed' "$sim/run/cards/0000:01:00.0"; then
            pass "packaged veldran programs a simulated KX-20 with a $size-byte PROM image, and records it"
        else
            cat "$work/run.out" "$work/run.err"
            fail "packaged veldran against a simulated card: status $status"
        fi
    fi
fi

# --- a plain install lays out the same files, the page uncompressed --------
if command -v "$cmake" >/dev/null 2>&1; then
    inst=$work/inst
    if "$cmake" --install "$build_dir" --prefix "$inst" --component veldran >"$work/install.out" 2>&1; then
        missing=
        for f in bin/veldran share/man/man1/veldran.1 lib/udev/rules.d/60-veldran.rules \
            lib/systemd/system/veldran-load@.service libexec/veldran/veldran-load \
            lib/tmpfiles.d/veldran.conf \
            share/doc/veldran/README.md share/bash-completion/completions/veldran; do
            [ -f "$inst/$f" ] || missing="$missing $f"
        done
        if [ -z "$missing" ]; then
            pass "cmake --install lays out bin/, share/man/man1/, lib/udev/rules.d/, lib/systemd/system/, lib/tmpfiles.d/, libexec/veldran/, share/doc/veldran/, share/bash-completion/completions/"
        else
            fail "cmake --install did not install:$missing"
        fi
    else
        cat "$work/install.out"
        fail "cmake --install failed"
    fi
fi

# --- an operator who is not root ------------------------------------------
# As root, drop to "nobody" with the group "users" standing in for veldran:
# refused while the resource files are root's own (as the kernel makes
# them), allowed once the rule's command has run. Elsewhere not checked.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null 2>&1 &&
    getent passwd nobody >/dev/null && getent group users >/dev/null &&
    [ -n "$simbus" ] && [ -n "$command" ]; then
    chmod 0755 "$work"
    sim=$work/sim-user
    prom=$work/user.prom
    { printf '\377\000\000\000\125\231\252\146'; head -c 5000 /dev/zero; } >"$prom"
    chmod 0644 "$prom"
    "$simbus" "$sim" addr=0000:02:00.0 >"$work/simbus.out" 2>&1 || cat "$work/simbus.out"
    card=$(readlink -f "$sim/bus/pci/devices/0000:02:00.0")
    chmod -R a+rX "$sim"
    chmod 0600 "$card/resource1" "$card/resource3"
    # expect_operator STATUS TEXT WHAT: a run as an operator (in the group
    # "users") ends with STATUS and prints TEXT.
    expect_operator() {
        local status=0
        VELDRAN_SYSFS_ROOT=$sim setpriv --reuid=nobody --regid=nogroup --groups=users \
            "$root/usr/bin/veldran" "$prom" 0 >"$work/user.out" 2>&1 || status=$?
        if [ "$status" -eq "$1" ] && grep -qF "$2" "$work/user.out"; then
            pass "$3"
        else
            cat "$work/user.out"
            fail "$3: status $status"
        fi
    }
    expect_operator 105 "Can't map 9054 card number 0 base registers." \
        "an operator is refused (105) while resource1/resource3 are root's"
    apply_rule "$card" users || fail "udev rule command failed on the simulated card"
    expect_operator 0 "Successfully programmed 5008 bytes." \
        "an operator in the rule's group programs the card"
else
    echo "note: not root (or no setpriv/nobody/users): access without root not checked"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all package checks passed"
