// Recognising the configuration file and reading its header.
#pragma once

// Recognises a .BIT or PROM file, prints what its header says, records the
// length and the byte writer, and leaves the file at the first byte to send.
void DetectConfigFile();
