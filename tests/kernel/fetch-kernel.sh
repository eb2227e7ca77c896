#!/bin/sh
# fetch-kernel.sh CACHE: prints the path of a Debian cloud kernel image
# (vmlinuz) kept in CACHE, fetching it with apt-get on first use. The
# metapackage linux-image-cloud-amd64 names the versioned package to take.
set -eu
cache=$1
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

for image in "$cache"/vmlinuz-*; do
    if [ -f "$image" ]; then
        echo "$image"
        exit 0
    fi
done

versioned() {
    apt-cache depends linux-image-cloud-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}
package=$(versioned)
if [ -z "$package" ]; then
    apt-get update >&2
    package=$(versioned)
fi
if [ -z "$package" ]; then
    echo "apt-cache does not know linux-image-cloud-amd64" >&2
    exit 1
fi

work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download "$package") >&2
dpkg-deb --fsys-tarfile "$work"/*.deb | tar -x -C "$work" ./boot
for image in "$work"/boot/vmlinuz-*; do
    mv "$image" "$cache/"
    echo "$cache/${image##*/}"
    exit 0
done
echo "no vmlinuz in $package" >&2
exit 1
