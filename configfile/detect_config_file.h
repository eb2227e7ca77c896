// Recognising the configuration file and reading its header.
#pragma once

#include <cstdint>

// Prints one length-prefixed text field of a .BIT header at *offset and
// moves *offset past it and the key byte that follows.
void ReadBitField(uint32_t* offset);

// Recognises a .BIT or PROM file, prints what its header says, records the
// length and the byte writer, and leaves the file at the first byte to send.
void DetectConfigFile();
