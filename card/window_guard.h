// Stores into the data window when the window goes away under them.
#pragma once

// Runs body. True if it ran to its end; false if a store into the data
// window raised SIGBUS, as happens when the kernel revokes the mapping
// (a driver claiming the card's memory) or the file behind it shrinks:
// body is then left at that store. A SIGBUS elsewhere keeps its default
// effect.
bool RunWithWindowGuard(void (*body)());
