// Small positioned reads on the configuration file.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads up to count bytes at offset; the number read, or 0 when the seek
// fails.
std::size_t ReadAt(uint32_t offset, std::size_t count, uint8_t* buffer);

// The file's length, or -1 when it cannot be had or does not fit in 32
// signed bits. The file position is left where it was.
int32_t FileLength();

// Reads from the file's position to its end, in blocks as the upload
// does; false when a read fails before the end.
bool ReadToEnd();
