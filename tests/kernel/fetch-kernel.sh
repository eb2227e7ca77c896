#!/bin/sh
# fetch-kernel.sh CACHE: prints the path of a Debian cloud kernel image
# (vmlinuz) kept in CACHE, fetching it with apt-get on first use. The
# metapackage linux-image-cloud-amd64 names the versioned package to take.
#
# Beside the image, in the same folder, modules/ holds the modules the
# guest loads for VFIO, laid out as /lib/modules/VERSION with a
# modules.dep: a module only loads into the kernel it was built with, so
# both come out of the one package and stay together in one folder per
# version, CACHE/linux-VERSION, which appears whole or not at all.
set -eu
cache=$1
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

# What the guest needs of VFIO: the PCI driver, the type1 IOMMU backend
# (which nothing loads by itself) and what they depend on.
MODULES="virt/lib/irqbypass.ko drivers/vfio/vfio.ko drivers/vfio/vfio_iommu_type1.ko
drivers/vfio/vfio_virqfd.ko drivers/vfio/pci/vfio-pci-core.ko drivers/vfio/pci/vfio-pci.ko"

for image in "$cache"/linux-*/vmlinuz-*; do
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
version=${package#linux-image-}

work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download "$package") >&2
mkdir "$work/deb" "$work/linux-$version"
dpkg-deb --fsys-tarfile "$work"/*.deb | tar -x -C "$work/deb" ./boot ./lib/modules
image=$work/deb/boot/vmlinuz-$version
if [ ! -f "$image" ]; then
    echo "no vmlinuz-$version in $package" >&2
    exit 1
fi
mv "$image" "$work/linux-$version/"
modules=$work/linux-$version/modules/lib/modules/$version
for module in $MODULES; do
    if [ ! -f "$work/deb/lib/modules/$version/kernel/$module" ]; then
        echo "no $module in $package" >&2
        exit 1
    fi
    mkdir -p "$modules/kernel/${module%/*}"
    cp "$work/deb/lib/modules/$version/kernel/$module" "$modules/kernel/$module"
done
# The package leaves modules.dep to the machine's depmod.
busybox depmod -b "$work/linux-$version/modules" "$version" >&2
mv "$work/linux-$version" "$cache/"
echo "$cache/linux-$version/vmlinuz-$version"
