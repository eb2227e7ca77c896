// The stores of configuration bytes into the card's data window.
//
// Every byte goes to the first byte of the window, as its own store, in
// order: the window is a port into the FPGA's configuration logic, not
// memory.
#pragma once

#include <cstddef>
#include <cstdint>

extern const uint8_t BitReverseTable[256];

// The two writers the run chooses between (its ByteWriter). Each takes a
// run of bytes rather than one, so that choosing the writer costs one call
// per block, not one per byte.

// .BIT data: each byte with its bit order reversed.
void WriteByteReversed(const uint8_t* bytes, std::size_t count);

// PROM data and the trailing bytes: each byte as it is.
void WriteByteRaw(const uint8_t* bytes, std::size_t count);
