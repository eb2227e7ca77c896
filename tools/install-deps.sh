# shellcheck shell=bash
# Sourced by tools/demo.sh and tools/test.sh: installs the packages that
# tools/packages.list names for the given jobs and this machine lacks.
#
#   . tools/install-deps.sh && veldran_install_deps demo test
#
# Runs apt-get as root, else through sudo; when neither works it prints the
# apt-get line to run and returns non-zero.

veldran_packages_list=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/packages.list

# The packages of the given jobs, in the list's order.
veldran_packages() { # JOB...
    awk -v jobs=" $* " '
        /^[[:space:]]*(#|$)/ { next }
        NF != 2 { printf "%s:%d: expected \"JOB PACKAGE\": %s\n", FILENAME, FNR, $0 > "/dev/stderr"; bad = 1; next }
        index(jobs, " " $1 " ") { print $2 }
        END { exit bad }' "$veldran_packages_list"
}

veldran_install_deps() { # JOB...
    local packages missing=() p
    packages=$(veldran_packages "$@") || return 1
    for p in $packages; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx 'install ok installed' ||
            missing+=("$p")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0

    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            veldran_install_hint "${missing[@]}"
            return 1
        fi
        as_root=(sudo)
    fi
    echo "installing: ${missing[*]}"
    # No questions asked: CI runs without a terminal.
    if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update ||
        ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y --no-install-recommends "${missing[@]}"; then
        veldran_install_hint "${missing[@]}"
        return 1
    fi
}

veldran_install_hint() { # PACKAGE...
    echo "These packages are missing; install them as root, then run this again:" >&2
    echo "apt-get update && apt-get install --no-install-recommends $*" >&2
}
