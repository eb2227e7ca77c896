#include "upload/interruption.h"

#include <csignal>

static volatile std::sig_atomic_t Caught = 0;

static const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int INTERRUPT_COUNT = sizeof INTERRUPTS / sizeof INTERRUPTS[0];

// What each signal was set to before CatchInterrupts.
static struct sigaction Inherited[INTERRUPT_COUNT];
static bool Catching = false;

static void NoteInterrupt(int signal)
{
    Caught = signal;
}

static bool IsIgnored(const struct sigaction& action)
{
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

void CatchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a console write that blocks because nobody reads the
    // output must give way, so the stream gets to clear PROGRAM at once.
    action.sa_flags = 0;
    for (int i = 0; i < INTERRUPT_COUNT; ++i) {
        sigaction(INTERRUPTS[i], nullptr, &Inherited[i]);
        if (!IsIgnored(Inherited[i]))
            sigaction(INTERRUPTS[i], &action, nullptr);
    }
    Catching = true;
}

void StopCatchingInterrupts()
{
    if (!Catching)
        return;
    for (int i = 0; i < INTERRUPT_COUNT; ++i)
        sigaction(INTERRUPTS[i], &Inherited[i], nullptr);
    Catching = false;
}

int InterruptSignal()
{
    return Caught;
}
