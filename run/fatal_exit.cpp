#include "run/fatal_exit.h"

#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "run/run_state.h"

void ReleaseCard()
{
    // The results are of no use here: this runs on the way out, and the
    // mapping must go before the device that owns it.
    if (State.WindowMapped)
        PlxPci_PciBarUnmap(&State.CardDevice, &State.DataWindow);
    if (State.DeviceOpen)
        PlxPci_DeviceClose(&State.CardDevice);
}

static void ReportFailure(const char* format, va_list args)
{
    ReleaseCard();
    // What was printed so far comes first in a log that takes both streams.
    std::fflush(stdout);
    std::fprintf(stderr, "\n\n\a%s:\n", PROGRAM_NAME);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

void FatalExit(int status, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ReportFailure(format, args);
    va_end(args);
    // A normal exit, so the runtime flushes and closes every stream.
    std::exit(status);
}

void FatalExitBySignal(int signal, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ReportFailure(format, args);
    va_end(args);
    // Standard output is flushed and standard error unbuffered: nothing
    // printed is lost when the runtime's exit work is skipped.
    EndBySignal(signal);
}

void EndBySignal(int signal)
{
    struct sigaction usual = {};
    usual.sa_handler = SIG_DFL;
    sigemptyset(&usual.sa_mask);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    // Raised while a handler still holds the signal, or while it is
    // blocked, it would not end the process.
    if (sigaction(signal, &usual, nullptr) == 0 && sigprocmask(SIG_UNBLOCK, &only, nullptr) == 0)
        raise(signal);
    _exit(128 + signal);
}
