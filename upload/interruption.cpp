#include "upload/interruption.h"

#include <csignal>

static volatile std::sig_atomic_t Caught = 0;

static const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

static void NoteInterrupt(int signal)
{
    Caught = signal;
}

static void SetHandler(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Console writes and file reads carry on where they were.
    action.sa_flags = SA_RESTART;
    for (int signal : INTERRUPTS)
        sigaction(signal, &action, nullptr);
}

void CatchInterrupts()
{
    SetHandler(NoteInterrupt);
}

void StopCatchingInterrupts()
{
    SetHandler(SIG_DFL);
}

int InterruptSignal()
{
    return Caught;
}
