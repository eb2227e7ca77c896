#!/bin/sh
# build-qemu.sh [--cached]: prints the path of a qemu-system-x86_64 with the
# card model (qemu-card/quorvel-9054.c) built in.
#
# The source is Debian's QEMU source package of the installed
# qemu-system-x86's version (whose firmware the guest boots from), fetched
# with apt-get source through deb-src twins of this machine's own apt
# sources. A minimal build: x86_64-softmmu only, TCG, system libfdt, no
# firmware. It is built once into
#   ${VELDRAN_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veldran}/qemu-KEY
# KEY a hash of the model, this script and that version, under a lock so
# that two runs never build at once; only a finished binary that knows the
# card is put there. With --cached nothing is built: it prints the path of
# a finished build or fails.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
model=$here/qemu-card/quorvel-9054.c
cache=${VELDRAN_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veldran}

fail() {
    echo "build-qemu.sh: $*" >&2
    exit 1
}

version=$(dpkg-query -W -f '${source:Version}' qemu-system-x86 2>/dev/null) ||
    fail "qemu-system-x86 is not installed (its firmware and version are the build's)"
key=$({ cat "$model" "$here/build-qemu.sh" && echo "$version"; } | sha256sum | cut -c1-16)
target=$cache/qemu-$key
binary=$target/bin/qemu-system-x86_64

if [ -x "$binary" ]; then
    echo "$binary"
    exit 0
fi
[ "${1:-}" != --cached ] || fail "no QEMU with the card model in $target"

for need in apt-get:apt dpkg-source:dpkg-dev cc:gcc meson:meson ninja:ninja-build \
    pkg-config:pkg-config flex:flex bison:bison python3:python3; do
    command -v "${need%%:*}" >/dev/null 2>&1 || fail "${need%%:*} not found (package ${need#*:})"
done

mkdir -p "$cache"
exec 9>"$cache/.qemu.lock"
flock 9
# Another run may have built it while this one waited for the lock.
if [ -x "$binary" ]; then
    echo "$binary"
    exit 0
fi

work=$(mktemp -d "$cache/qemu-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt-get downloads as its own user where it can; let it into the folder.
chmod 755 "$work"
log=$work/build.log

# step WHAT COMMAND...: runs the command with its output in the log; on
# failure shows the log's end and stops.
step() {
    what=$1
    shift
    echo "== $what" >>"$log"
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        fail "$what failed"
    fi
}

# in_folder DIR COMMAND...
in_folder() {
    (cd "$1" && shift && exec "$@")
}

# deb-src entries for every deb entry of the machine's own sources, in a
# private apt configuration: the machine's sources and lists stay as they
# are, and no archive is named here.
apt=$work/apt
mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial"
: >"$apt/sources.list"
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    sed -n 's/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$list" >>"$apt/sources.list"
done
for parts in /etc/apt/sources.list.d/*.sources; do
    [ -f "$parts" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$parts" >"$apt/sources.list.d/${parts##*/}"
done
set -- -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d" \
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"

start=$(date +%s)
step "apt-get update (deb-src)" apt-get "$@" update
step "apt-get source qemu=$version" in_folder "$work" apt-get "$@" source "qemu=$version"
src=
for folder in "$work"/qemu-*/; do
    [ -f "$folder/configure" ] && src=${folder%/}
done
[ -n "$src" ] || fail "apt-get source left no QEMU source tree in $work"

cp "$model" "$src/hw/misc/"
echo "softmmu_ss.add(when: 'CONFIG_PCI', if_true: files('quorvel-9054.c'))" \
    >>"$src/hw/misc/meson.build"
# The tarball has no firmware blobs; meson would unpack them wherever it
# finds bzip2.
sed -i 's/^\([[:space:]]*unpack_edk2_blobs = \)bzip2\.found()/\1false/' "$src/meson.build"

mkdir "$src/build"
step "configure" in_folder "$src/build" ../configure --target-list=x86_64-softmmu \
    --without-default-features --enable-tcg --enable-fdt=system \
    --disable-install-blobs --disable-docs
step "ninja" ninja -C "$src/build" -j "${VELDRAN_QEMU_JOBS:-2}" qemu-system-x86_64

built=$src/build/qemu-system-x86_64
"$built" -device quorvel-9054,help 2>&1 | grep -q config-size ||
    fail "the built QEMU does not know the card (quorvel-9054)"
mkdir -p "$work/done/bin"
cp "$built" "$work/done/bin/"
rm -rf "$target"
mv "$work/done" "$target"
echo "QEMU $version with the card model built in $(($(date +%s) - start)) s: $target" >&2
echo "$binary"
