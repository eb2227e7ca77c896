// Sample configuration files of our own: the one set of builders the tests,
// veldran-mksample and the benchmark share, so that all of them feed the
// program the same layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// What a .BIT file's data and a PROM image start with.
extern const Bytes SYNC_PREAMBLE;   // FF FF FF FF AA 99 55 66
extern const Bytes PROM_SIGNATURE;  // FF FF FF FF 55 99 AA 66, as the program recognises it

// A deterministic byte sequence: leadIn first, then every byte value in
// order up to position 255 (so a bit reversal that misses a bit shows),
// then a pseudo-random tail chosen by seed. Filled a block at a time, so
// that files of any size need no buffer of their size.
class PatternStream {
public:
    explicit PatternStream(unsigned seed = 1, Bytes leadIn = {});
    void Fill(uint8_t* out, std::size_t count);

private:
    Bytes leadIn_;
    unsigned state_;
    uint64_t position_ = 0;
};

// count bytes of PatternStream(seed).
Bytes Pattern(std::size_t count, unsigned seed = 1);

// A .BIT header: the fixed prefix, each text (stored with a trailing NUL)
// under its key b, c, d, e, and the declared data length.
Bytes BitHeader(const std::vector<std::string>& fields, uint32_t declared);
Bytes BitFile(const std::vector<std::string>& fields, uint32_t declared, const Bytes& data);
Bytes BitFile(const Bytes& data);  // plain fields, declared length = data size

// A PROM image of the given size: PROM_SIGNATURE, then the pattern.
Bytes PromImage(std::size_t size);
PatternStream PromData();

// Writes header and then count bytes of data to path. On failure the file
// is removed and *error says why.
bool WriteSample(const std::string& path, const Bytes& header, PatternStream data,
                 uint64_t count, std::string* error);

// byte with bit k moved to bit 7 - k, one bit at a time: the reference the
// program's table is checked against.
uint8_t ReverseBits(uint8_t byte);
