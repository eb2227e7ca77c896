#!/usr/bin/env bash
# Fuzzing campaign for veldran: one afl-fuzz instance on the real program.
#
#   fuzz/run-campaign.sh SECONDS [OUTDIR]
#
# Builds veldran with afl-clang-fast++ and ASan+UBSan (build-fuzz-afl/) and a
# plain ASan+UBSan build for triage (build-fuzz-san/), makes a simulated bus
# in /dev/shm, and runs `afl-fuzz -V SECONDS ... -- veldran @@ 0` with
# VELDRAN_SYSFS_ROOT pointing at that bus, so both the file reader and the
# whole programming run are exercised. Inputs: fuzz/seeds/ plus whatever
# fuzz/corpus/ already holds, with fuzz/veldran.dict as the dictionary.
#
# Afterwards it prints the fuzzer's figures, minimises the queue with
# afl-cmin into fuzz/corpus/ (replacing its files; names are content hashes),
# and replays the minimised queue, the crashes and the hangs against the
# triage build with leak checking on. Crashing and hanging inputs stay in
# OUTDIR/default/{crashes,hangs}. OUTDIR (default /dev/shm/veldran-fuzz-DATE)
# must be new or empty.
#
# Needs Debian's afl++ package (apt-get install afl++), cmake and clang.
# Runs as root, without a terminal. Uses one core for the fuzzer; the builds
# run with -j1 too.
#
# Exit status: 0 when the fuzzer found no crash or hang and every replay was
# clean, 1 when it found something (see the printed paths), 2 on setup errors.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 || ! $1 =~ ^[0-9]+$ || $1 -eq 0 ]]; then
    sed -n '2,25p' "$0" >&2
    exit 2
fi
duration=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
out=${2:-/dev/shm/veldran-fuzz-$(date +%Y%m%d-%H%M%S)}
afl_build=$root/build-fuzz-afl
san_build=$root/build-fuzz-san
bus=/dev/shm/veldran-fuzz-bus.$$
work=$(mktemp -d "${TMPDIR:-/tmp}/veldran-fuzz.XXXXXX")
fuzzer_pid=

cleanup() {
    if [[ -n $fuzzer_pid ]] && kill -0 "$fuzzer_pid" 2> /dev/null; then
        kill "$fuzzer_pid" 2> /dev/null || true
        wait "$fuzzer_pid" 2> /dev/null || true
    fi
    rm -rf "$bus" "$work"
}
trap cleanup EXIT
trap 'exit 2' INT TERM

die() {
    echo "run-campaign: $*" >&2
    exit 2
}

require_tools() {
    local tool
    for tool in afl-fuzz afl-clang-fast afl-clang-fast++ afl-cmin afl-showmap cmake clang++; do
        command -v "$tool" > /dev/null || die "$tool not found (apt-get install afl++ clang cmake)"
    done
    if [[ -e $out && -n $(ls -A "$out") ]]; then
        die "$out is not empty; give a new OUTDIR"
    fi
}

# Fatal exits are exit() calls with the program's own statuses, so they are
# ordinary outcomes to afl-fuzz; only signals (ASan's abort, UBSan's trap,
# real faults) count as crashes.
build_afl() {
    echo "== building the instrumented program in $afl_build"
    AFL_USE_ASAN=1 AFL_USE_UBSAN=1 AFL_QUIET=1 cmake -S "$root" -B "$afl_build" \
        -DCMAKE_C_COMPILER=afl-clang-fast -DCMAKE_CXX_COMPILER=afl-clang-fast++ \
        -DVELDRAN_TESTS=OFF -DVELDRAN_SANITIZE=OFF > "$work/afl-configure.log" 2>&1 ||
        { cat "$work/afl-configure.log" >&2; die "configure failed"; }
    AFL_USE_ASAN=1 AFL_USE_UBSAN=1 AFL_QUIET=1 cmake --build "$afl_build" -j1 \
        --target veldran veldran-simbus > "$work/afl-build.log" 2>&1 ||
        { tail -40 "$work/afl-build.log" >&2; die "instrumented build failed"; }
}

build_triage() {
    echo "== building the sanitizer build for triage in $san_build"
    cmake -S "$root" -B "$san_build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVELDRAN_TESTS=OFF -DVELDRAN_SANITIZE=ON > "$work/san-configure.log" 2>&1 ||
        { cat "$work/san-configure.log" >&2; die "configure failed"; }
    cmake --build "$san_build" -j1 --target veldran veldran-simbus > "$work/san-build.log" 2>&1 ||
        { tail -40 "$work/san-build.log" >&2; die "triage build failed"; }
}

# The fuzzer only learns from runs that get past the card search, so refuse
# to start on a program or bus that cannot program a well-formed file.
make_bus() {
    "$afl_build/tools/simbus/veldran-simbus" "$bus" > /dev/null || die "cannot make the bus $bus"
    local status=0
    VELDRAN_SYSFS_ROOT=$bus ASAN_OPTIONS=detect_leaks=0 \
        "$afl_build/veldran" "$here/seeds/bit-small.bit" 0 > /dev/null 2> "$work/check.err" ||
        status=$?
    if [[ $status -ne 0 ]]; then
        cat -v "$work/check.err" >&2
        die "the instrumented veldran exits $status on seeds/bit-small.bit; expected 0"
    fi
}

gather_inputs() {
    mkdir -p "$work/in"
    cp "$here"/seeds/* "$work/in/"
    if [[ -d $here/corpus ]]; then
        find "$here/corpus" -maxdepth 1 -type f -exec cp {} "$work/in/" \;
    fi
    # afl-fuzz refuses empty files; the replay test still covers the empty seed.
    find "$work/in" -type f -empty -delete
    echo "== $(find "$work/in" -type f | wc -l) starting inputs"
}

# Leaks are checked in the replay afterwards rather than on every execution,
# where LeakSanitizer's end-of-run scan would cost more than the run.
fuzz_environment() {
    export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1
    export AFL_NO_AFFINITY=1 AFL_SKIP_CRASHES=1
    export AFL_FORKSRV_INIT_TMOUT=10000
    export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:malloc_context_size=0:detect_odr_violation=0
    export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=0:symbolize=0
    export VELDRAN_SYSFS_ROOT=$bus
}

# The program's slowest legitimate step is the DONE check, which spins about
# a millisecond; 200 ms leaves room for ASan and a busy second core while
# still flagging anything that really stalls.
run_fuzzer() {
    echo "== fuzzing for $duration s into $out (log: $out/afl.log)"
    mkdir -p "$out"
    (
        fuzz_environment
        exec afl-fuzz -i "$work/in" -o "$out" -m none -t 200 -V "$duration" \
            -x "$here/veldran.dict" -- "$afl_build/veldran" @@ 0
    ) > "$out/afl.log" 2>&1 &
    fuzzer_pid=$!
    local status=0
    wait "$fuzzer_pid" || status=$?
    fuzzer_pid=
    if [[ $status -ne 0 || ! -f $out/default/fuzzer_stats ]]; then
        tail -30 "$out/afl.log" >&2
        die "afl-fuzz exited with status $status"
    fi
}

print_figures() {
    echo "== fuzzer figures ($out/default/fuzzer_stats)"
    grep -E '^(run_time|execs_done|execs_per_sec|corpus_count|corpus_found|bitmap_cvg|stability|saved_crashes|saved_hangs|cycles_done|last_find)' \
        "$out/default/fuzzer_stats"
}

# afl-cmin refuses /tmp, and afl-showmap will not create files under /dev/,
# so the minimised set is gathered in the build folder.
minimise() {
    echo "== minimising the queue with afl-cmin"
    local cmin=$afl_build/cmin
    rm -rf "$cmin"
    (
        fuzz_environment
        afl-cmin -i "$out/default/queue" -o "$cmin" -m none -t 1000 \
            -- "$afl_build/veldran" @@ 0
    ) > "$out/cmin.log" 2>&1 || { tail -20 "$out/cmin.log" >&2; die "afl-cmin failed"; }
    grep -E 'Found|Narrowed|written' "$out/cmin.log" | sed 's/\x1b\[[0-9;]*m//g' || true
    mkdir -p "$here/corpus"
    find "$here/corpus" -maxdepth 1 -type f -delete
    local file sum
    for file in "$cmin"/*; do
        [[ -f $file ]] || continue
        sum=$(sha1sum "$file" | cut -c1-16)
        cp "$file" "$here/corpus/$sum"
        chmod 644 "$here/corpus/$sum"
    done
    echo "== fuzz/corpus: $(find "$here/corpus" -type f | wc -l) files," \
        "$(find "$here/corpus" -type f -exec cat {} + | wc -c) bytes"
}

# Replays with the sanitizers' defaults (leak checking on) and full reports.
triage() {
    echo "== replaying the minimised queue, crashes and hangs against $san_build"
    local findings
    findings=$(find "$out/default/crashes" "$out/default/hangs" -type f -name 'id:*' | wc -l)
    ASAN_OPTIONS='' UBSAN_OPTIONS=print_stacktrace=1 bash "$root/tests/fuzz/replay_corpus.sh" \
        "$san_build/veldran" "$san_build/tools/simbus/veldran-simbus" \
        "$here/corpus" "$out/default/crashes" "$out/default/hangs" || return 1
    [[ $findings -eq 0 ]]
}

require_tools
build_afl
build_triage
make_bus
gather_inputs
run_fuzzer
print_figures
minimise
if triage; then
    echo "== clean: no crashes, hangs or sanitizer reports"
else
    echo "== FOUND PROBLEMS: see the FAIL lines above and $out/default/crashes, $out/default/hangs"
    exit 1
fi
