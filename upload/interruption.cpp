#include "upload/interruption.h"

#include <csignal>

#include "run/fatal_exit.h"

static volatile std::sig_atomic_t Caught = 0;  // the first signal noted
static volatile std::sig_atomic_t Catching = 0;

// The program's faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP,
// SIGSYS) come from the instruction that faulted, not from the operator:
// caught, they would be noted and the instruction run again.
static const int FIXED_INTERRUPTS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1,
                                       SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO,
                                       SIGPWR,  SIGSTKFLT, SIGXCPU};

// What each signal was set to before CatchInterrupts, by number.
static struct sigaction Inherited[NSIG];
static bool Taken[NSIG];

static void NoteInterrupt(int signal)
{
    // Only if giving it back failed is the handler still here after the
    // stream: the signal then has its usual effect.
    if (!Catching)
        EndBySignal(signal);
    if (Caught == 0)
        Caught = signal;
}

static void Take(int signal, const struct sigaction& noting)
{
    // A signal whose setting cannot be read or changed keeps it, and ends
    // the run as it would have without us.
    if (sigaction(signal, nullptr, &Inherited[signal]) != 0)
        return;
    const struct sigaction& inherited = Inherited[signal];
    if ((inherited.sa_flags & SA_SIGINFO) != 0 || inherited.sa_handler != SIG_DFL)
        return;
    Taken[signal] = sigaction(signal, &noting, nullptr) == 0;
}

void CatchInterrupts()
{
    struct sigaction noting = {};
    noting.sa_handler = NoteInterrupt;
    sigemptyset(&noting.sa_mask);
    // No SA_RESTART: a console write that blocks because nobody reads the
    // output must give way, so the stream gets to clear PROGRAM at once.
    noting.sa_flags = 0;
    Caught = 0;
    Catching = 1;
    for (const int signal : FIXED_INTERRUPTS)
        Take(signal, noting);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        Take(signal, noting);
}

void StopCatchingInterrupts()
{
    for (int signal = 1; signal < NSIG; ++signal) {
        // One that cannot be given back keeps the handler, which from now
        // on does what the default would.
        if (Taken[signal] && sigaction(signal, &Inherited[signal], nullptr) == 0)
            Taken[signal] = false;
    }
    Catching = 0;
}

int InterruptSignal()
{
    return Caught;
}
