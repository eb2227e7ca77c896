// Ctrl-C, a service stop, a dropped session, a CPU-time limit, a timer or
// a request for progress while the card is being programmed.
#pragma once

// From here on every signal that would end the process by its default
// action, and is not one of the program's own faults, only notes that it
// came, so the stream can stop at a block boundary and leave the card in a
// known state: SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
// SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT, SIGXCPU and the real-time
// signals. Only a signal still at its default is taken: one the caller set
// to be ignored (nohup, trap '', a background job of a script) stays
// ignored. SIGPIPE and SIGXFSZ are left to the process setup, which
// ignores them for the whole run.
void CatchInterrupts();

// Gives each signal taken back what it had before CatchInterrupts.
void StopCatchingInterrupts();

// The first signal that came since CatchInterrupts, or 0.
int InterruptSignal();
