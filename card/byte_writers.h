// The stores of configuration bytes into the card's data window.
//
// Every byte goes to the first byte of the window, as its own store, in
// order: the window is a port into the FPGA's configuration logic, not
// memory.
#pragma once

#include <cstddef>
#include <cstdint>

extern const uint8_t BitReverseTable[256];

// .BIT data: each byte with its bit order reversed.
void WriteByteReversed(uint8_t byte);

// PROM data and the trailing bytes: each byte as it is.
void WriteByteRaw(uint8_t byte);

// Sends a block through the writer the run has chosen. The choice is made
// once per block rather than once per byte; the stores are the same.
void WriteBlock(const uint8_t* bytes, std::size_t count);
