// Stores into the data window when the window goes away under them.
#pragma once

// Runs body(context). True if it ran to its end; false if the guard could
// not be set up (body is then not run at all) or a store into the data
// window raised SIGBUS, as happens when the kernel revokes the mapping
// (a driver claiming the card's memory) or the file behind it shrinks:
// body is then left at that store by a long jump, which runs no
// destructors, so body and what it calls must own nothing that has one
// (no std::string, no container, no lock guard). A SIGBUS elsewhere keeps
// its default effect.
bool RunWithWindowGuard(void (*body)(void* context), void* context);
