#!/usr/bin/env bash
# Installs what this machine lacks for the build and the tests, builds the
# program and every test in build/, and runs them all with CTest. Arguments
# go to ctest, e.g. "bash tools/test.sh -R package".
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=tools/install-deps.sh
. tools/install-deps.sh
veldran_install_deps demo test

# Every test, even where build/ was once configured without them.
cmake -S . -B build -DVELDRAN_TESTS=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure "$@"
