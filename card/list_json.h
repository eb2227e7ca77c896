// veldran --list --json: what --list says, for scripts (the field names
// are listed in veldran(1)).
#pragma once

// Prints a JSON array on standard output, one card's object per line, so
// that a shell can read it line by line; returns the exit status as
// ListCards does: EXIT_OK, or EXIT_NOT_FOUND with "[]" when there is no
// card. It reads only.
int ListCardsJson();
