#!/usr/bin/env bash
# Runs shellcheck on every shell script of the project: files named *.sh or
# *.bash (the bash completion) and files that start with a sh or bash "#!"
# line (.ci/run, the package's maintainer scripts). Build folders, the
# fuzzing inputs and debhelper's scratch folders are left out.
#
#   check-scripts.sh [SOURCE_DIR]
#
# Exit status 77 (skipped) when shellcheck is missing; on CI (CI set), 1.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

if ! command -v shellcheck >/dev/null 2>&1; then
    echo "SKIP: shellcheck not found"
    [ -z "${CI:-}" ] || exit 1
    exit 77
fi

scripts=()
while IFS= read -r -d '' f; do
    f=${f#./}
    case $f in
        *.sh | *.bash) scripts+=("$f") ;;
        *) head -n1 "$f" 2>/dev/null | grep -Eq '^#! ?(/usr)?/bin/(env )?(ba)?sh\b' && scripts+=("$f") ;;
    esac
done < <(find . \( -name .git -o -name 'obj-*' -o -path ./fuzz/corpus -o -path ./fuzz/seeds \
    -o -path ./debian/.debhelper -o -path ./debian/tmp -o -path ./debian/veldran \
    -o -exec test -e '{}/CMakeCache.txt' \; \) -prune -o -type f -print0 | sort -z)

if [ "${#scripts[@]}" -eq 0 ]; then
    echo "FAIL: no shell scripts found in $PWD"
    exit 1
fi
printf 'checking %s\n' "${scripts[@]}"
# -x follows the files the scripts source, as named from the top folder.
shellcheck -x "${scripts[@]}"
echo "shellcheck: no findings in ${#scripts[@]} scripts"
