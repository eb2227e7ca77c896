// The command line: FILE CARD.
#pragma once

#include "card/find_card.h"

// Reads a card's PCI address in the forms --list shows, DDDD:BB:SS.F or
// BB:SS.F, in hex digits of either case (domain 0000 when left out; a
// domain takes more than four digits only as the kernel writes it, with
// no leading zero), a slot up to 1f and a function up to 7. Blanks and
// line ends around it are ignored, as a number's leading blanks are.
bool ParseCardAddress(const char* text, CardAddress* address);

// Reads a card number the way the C scanner's %u does (leading blanks, an
// optional sign, digits up to the first non-digit) but never wraps: true
// only for a whole number from 0 to 15.
bool ParseCardNumber(const char* text, unsigned* card);

// Opens FILE as the run's configuration file, with the caller's rights;
// returns only when it is open.
void OpenFileArgument(const char* path);

// Checks the command line, opens the file, then opens the card and
// detects the file. Returns only when all of that succeeded.
void ParseArguments(int argc, char** argv);
