#!/usr/bin/env bash
# Builds the program and programs a sample .BIT file into a simulated card,
# so the whole run can be seen on a machine without the card. Installs what
# this machine lacks for that first.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=tools/install-deps.sh
. tools/install-deps.sh
veldran_install_deps demo

cmake -S . -B build >/dev/null
cmake --build build -j2 --target veldran veldran-simbus veldran-mksample >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/tools/simbus/veldran-simbus "$work/sys" "addr=0000:01:00.0,subsys=0x3312"
build/tools/mksample/veldran-mksample bit "$work/sample.bit" --data 100000

echo "\$ VELDRAN_SYSFS_ROOT=$work/sys build/veldran sample.bit 0"
status=0
VELDRAN_SYSFS_ROOT="$work/sys" build/veldran "$work/sample.bit" 0 || status=$?
echo "exit status: $status"
echo "control/status register afterwards: $(build/tools/simbus/veldran-simbus --control "$work/sys" 0000:01:00.0)"
echo "\$ VELDRAN_SYSFS_ROOT=$work/sys build/veldran --list"
VELDRAN_SYSFS_ROOT="$work/sys" build/veldran --list || true
exit "$status"
