// The command line: FILE CARD.
#pragma once

// Reads a card number the way the C scanner's %u does (leading blanks, an
// optional sign, digits up to the first non-digit) but never wraps: true
// only for a whole number from 0 to 15.
bool ParseCardNumber(const char* text, unsigned* card);

// Checks the command line, opens the file, then opens the card and
// detects the file. Returns only when all of that succeeded.
void ParseArguments(int argc, char** argv);
