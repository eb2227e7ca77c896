#include "run/fatal_exit.h"

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

void FatalExit(int status, const char* format, ...)
{
    ReleaseCard();
    // What was printed so far comes first in a log that takes both streams.
    std::fflush(stdout);
    std::fprintf(stderr, "\n\n\a%s:\n", PROGRAM_NAME);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    // A normal exit, so the runtime flushes and closes every stream.
    std::exit(status);
}
