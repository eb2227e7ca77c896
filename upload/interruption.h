// Ctrl-C, Ctrl-\, a service stop or a dropped session while the card is
// being programmed.
#pragma once

// From here on SIGINT, SIGTERM, SIGHUP and SIGQUIT only note that they
// came, so the stream can stop at a block boundary and leave the card in a
// known state. A signal the caller had set to be ignored (nohup, trap '',
// a background job of a script) stays ignored.
void CatchInterrupts();

// Gives each of the four signals back what it had before CatchInterrupts.
void StopCatchingInterrupts();

// The signal that came since CatchInterrupts, or 0.
int InterruptSignal();
