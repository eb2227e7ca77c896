// The one way a failure ends the run, and the release of the card that
// both the normal end and a failure go through.
#pragma once

// Gives back what the run holds of the card, in reverse order of taking it.
void ReleaseCard();

// Releases the card, prints the error block on standard error and ends the
// process with the given status.
[[noreturn]] void FatalExit(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// As FatalExit, but for a run that a signal stopped: the process then ends
// by that signal, so that a shell running it in a script stops the script
// too (its $? is still 128 plus the signal's number).
[[noreturn]] void FatalExitBySignal(int signal, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Ends the process by the signal's default action, whatever the signal is
// set to now; with status 128 plus its number should that not end it. Safe
// in a signal handler.
[[noreturn]] void EndBySignal(int signal);
