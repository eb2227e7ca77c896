// The one way a failure ends the run, and the release of the card that
// both the normal end and a failure go through.
#pragma once

// Gives back what the run holds of the card, in reverse order of taking it.
void ReleaseCard();

// Releases the card, prints the error block on standard error and ends the
// process with the given status.
[[noreturn]] void FatalExit(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
