// The command line: FILE CARD.
#pragma once

#include "card/find_card.h"

// Reads a card number the way the C scanner's %u does (leading blanks, an
// optional sign, digits up to the first non-digit) but never wraps: true
// only for a whole number from 0 to 15.
bool ParseCardNumber(const char* text, unsigned* card);

// What a CARD argument names: a card number, or an address (a text with a
// colon is an address and nothing else).
struct NamedCard {
    bool ByAddress;
    unsigned Number;
    PciAddress Address;
};
// Reads CARD as a run does; ends the process with the run's message and
// status where it names no card.
NamedCard ReadCardArgument(const char* text);

// Opens FILE as the run's configuration file, with the caller's rights;
// returns only when it is open.
void OpenFileArgument(const char* path);

// Checks the command line, opens the file, then opens the card and
// detects the file. Returns only when all of that succeeded.
void ParseArguments(int argc, char** argv);
