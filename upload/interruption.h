// Ctrl-C, a service stop or a dropped session while the card is being
// programmed.
#pragma once

// From here on SIGINT, SIGTERM and SIGHUP only note that they came, so the
// stream can stop at a block boundary and leave the card in a known state.
void CatchInterrupts();

// Gives the three signals their default effect back.
void StopCatchingInterrupts();

// The signal that came since CatchInterrupts, or 0.
int InterruptSignal();
