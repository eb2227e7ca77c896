#include "run/fatal_exit.h"

#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/run_record.h"
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

static std::string Formatted(const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0)
        std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

// The record is written while the card is still held, so that no other
// run can have taken the card and started a record of its own meanwhile.
static void ReportFailure(const char* result, const std::string& step, const std::string& message)
{
    EndRunRecord(result, step);
    ReleaseCard();
    // What was printed so far comes first in a log that takes both streams.
    std::fflush(stdout);
    std::fprintf(stderr, "\n\n\a%s:\n", PROGRAM_NAME);
    std::fputs(message.c_str(), stderr);
    std::fputc('\n', stderr);
}

// A signal by the name scripts know it by: SIGINT, SIGRTMIN+3.
static std::string SignalName(int signal)
{
    if (signal >= SIGRTMIN && signal <= SIGRTMAX)
        return "SIGRTMIN+" + std::to_string(signal - SIGRTMIN);
    const char* name = sigabbrev_np(signal);
    return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(signal);
}

void FatalExit(int status, const char* format, ...)
{
    {
        va_list args;
        va_start(args, format);
        const std::string message = Formatted(format, args);
        va_end(args);
        // The message says where the run stopped: the record's step,
        // without the line end that some messages carry.
        ReportFailure("failed", message.substr(0, message.find_last_not_of('\n') + 1), message);
    }
    // A normal exit, so the runtime flushes and closes every stream.
    std::exit(status);
}

void FatalExitBySignal(int signal, const char* format, ...)
{
    {
        va_list args;
        va_start(args, format);
        const std::string message = Formatted(format, args);
        va_end(args);
        ReportFailure("interrupted", SignalName(signal), message);
    }
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
