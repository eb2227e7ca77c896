#!/usr/bin/env bash
# Regenerates the fuzzing seed files in fuzz/seeds/.
#
#   fuzz/make-seeds.sh MKSAMPLE [SEEDDIR]
#
# MKSAMPLE is a built veldran-mksample; SEEDDIR defaults to fuzz/seeds beside
# this script. The seeds are checked in, so this only needs running when the
# set should change. Every seed stays well under 2 KB: the fuzzer mutates
# small inputs far faster, and the reader's interesting decisions all happen
# in the first hundred-odd bytes.
#
# Besides well-formed files from the sample maker, the hand-made ones aim at
# the header reader's edges: truncation at every stage, empty and oversized
# length words, a NUL inside a field, a wrong key byte, declared lengths that
# disagree with the data, and files that are neither kind.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    sed -n '2,10p' "$0" >&2
    exit 2
fi
mksample=$1
seeds=${2:-$(cd "$(dirname "$0")" && pwd)/seeds}
mkdir -p "$seeds"
rm -f "$seeds"/*

# printf '%b' so that the \xNN escapes below become bytes and no % in the data
# is ever read as a format.
bytes() { printf '%b' "$1"; }

# The fixed 14-byte start of a .BIT file.
bit_prefix='\x00\x09\x0f\xf0\x0f\xf0\x0f\xf0\x0f\xf0\x00\x00\x01\x61'

make_tool_seeds() {
    "$mksample" bit "$seeds/bit-small.bit" --data 64
    "$mksample" bit "$seeds/bit-no-data.bit" --data 0
    "$mksample" bit "$seeds/bit-one-byte.bit" --data 1
    "$mksample" bit "$seeds/bit-empty-fields.bit" --name "" --part "" --date "" --time "" --data 16
    "$mksample" bit "$seeds/bit-long-name.bit" --name "$(printf 'n%.0s' {1..300})" --data 32
    "$mksample" bit "$seeds/bit-declared-more.bit" --data 64 --declared 1000
    "$mksample" bit "$seeds/bit-declared-less.bit" --data 64 --declared 10
    "$mksample" bit "$seeds/bit-declared-zero.bit" --data 32 --declared 0
    "$mksample" bit "$seeds/bit-declared-max.bit" --data 32 --declared 0xFFFFFFFF
    "$mksample" bit "$seeds/bit-declared-sign.bit" --data 32 --declared 0x80000000
    "$mksample" bit "$seeds/bit-declared-block.bit" --data 40 --declared 16384
    "$mksample" prom "$seeds/prom-small.bin" --size 64
    "$mksample" prom "$seeds/prom-header-only.bin" --size 8
    "$mksample" prom "$seeds/prom-1k.bin" --size 1024
}

make_truncated_seeds() {
    local full="$seeds/bit-small.bit"
    head -c 13 "$full" > "$seeds/cut-13-bytes.bit"
    head -c 14 "$full" > "$seeds/cut-after-prefix.bit"
    head -c 15 "$full" > "$seeds/cut-in-length-word.bit"
    head -c 30 "$full" > "$seeds/cut-in-name.bit"
    head -c 51 "$full" > "$seeds/cut-before-key.bit"
    head -c 95 "$full" > "$seeds/cut-in-config-length.bit"
    head -c 3 "$seeds/prom-small.bin" > "$seeds/cut-prom-3-bytes.bin"
    head -c 6 "$seeds/prom-small.bin" > "$seeds/cut-prom-in-sync.bin"
}

# A header of four fields given as raw escaped strings (length word included),
# then a 4-byte configuration length and a few data bytes.
raw_bit() {
    bytes "$bit_prefix$1b$2c$3d$4e$5"
    bytes '\xff\xff\xff\xff\xaa\x99\x55\x66\x20\x00\x00\x00'
}

make_handmade_seeds() {
    local name='\x00\x05demo\x00' part='\x00\x05part\x00'
    local date='\x00\x03d1\x00' time='\x00\x03t1\x00' len='\x00\x00\x00\x0c'
    raw_bit '\x00\x00' "$part" "$date" "$time" "$len" > "$seeds/zero-length-name.bit"
    raw_bit '\x00\x01\x00' "$part" "$date" "$time" "$len" > "$seeds/nul-only-name.bit"
    raw_bit '\x00\x08abc\x00def\x00' "$part" "$date" "$time" "$len" > "$seeds/nul-inside-name.bit"
    raw_bit '\x00\x04demo' "$part" "$date" "$time" "$len" > "$seeds/name-without-nul.bit"
    raw_bit '\xff\xffdemo\x00' "$part" "$date" "$time" "$len" > "$seeds/name-length-ffff.bit"
    raw_bit "$name" "$part" "$date" '\x00\x00' "$len" > "$seeds/zero-length-time.bit"
    bytes "$bit_prefix"'\x00\x05demo\x00x\x00\x05part\x00c' > "$seeds/wrong-first-key.bit"
    bytes "$bit_prefix"'\x00\x05demo\x00b\x00\x05part\x00b' > "$seeds/repeated-key.bit"
    bytes '\x00\x09\x0f\xf0\x0f\xf0\x0f\xf0\x0f\xf0\x00\x00\x01\x62\x00\x01\x00' > "$seeds/bad-prefix.bit"
    bytes '\xff\xff\xff\xff\x00\x00\x00\x00\x01\x02\x03\x04' > "$seeds/prom-wrong-sync.bin"
    bytes '\xff' > "$seeds/one-ff-byte.bin"
    bytes 'This is not a configuration file.\n' > "$seeds/unknown-text.txt"
    bytes '\x42\x00\x09\x0f\xf0\x0f\xf0' > "$seeds/unknown-binary.bin"
    : > "$seeds/empty-file"
}

make_tool_seeds
make_truncated_seeds
make_handmade_seeds
echo "wrote $(find "$seeds" -type f | wc -l) seeds to $seeds"
