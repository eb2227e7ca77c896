// SHA-256 of a stream of bytes, fed a block at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256 {
    uint32_t State[8];
    uint64_t Length;  // bytes fed so far
    uint8_t Pending[64];
    std::size_t PendingCount;
    // The processor's SHA instructions, where it has them (Sha256Start
    // sets it); false takes the plain rounds.
    bool Hardware;
};

void Sha256Start(Sha256* hash);
void Sha256Add(Sha256* hash, const uint8_t* bytes, std::size_t count);
// The digest as 64 lowercase hex digits, as sha256sum prints it.
std::string Sha256Finish(Sha256* hash);
