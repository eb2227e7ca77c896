#include "upload/program_card.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "card/byte_writers.h"
#include "card/control_register.h"
#include "card/window_guard.h"
#include "run/fatal_exit.h"
#include "run/run_state.h"
#include "upload/interruption.h"

// Clock bytes that let the FPGA finish its start-up after the data.
constexpr int TRAILING_BYTES = 24;

// Ends a run whose configuration cycle has started, leaving the FPGA in
// reset rather than half loaded. If the register cannot be reached, that
// failure is reported instead.
[[noreturn]] static void AbortProgramming(int status, const char* message)
{
    ControlClearProgramBit();
    FatalExit(status, "%s", message);
}

// Puts the FPGA in reset and ends the run by the signal that stopped it, so
// that a script running it stops as well.
static void StopIfInterrupted()
{
    if (const int signal = InterruptSignal()) {
        ControlClearProgramBit();
        FatalExitBySignal(signal, "Programming interrupted.");
    }
}

static void StartConfigurationCycle()
{
    ControlSetModeBits();
    std::printf("\nProgramming...\n");
    std::fflush(stdout);
    ControlClearProgramBit();
    if ((ReadStatus() & DONE_BIT) == 0)
        FatalExit(EXIT_NOT_DONE, "<DONE> status bit indicates busy at start of programming.");
    ControlSetProgramBit();
    WaitOneTick();
}

// Sends everything from the file's position to its end; returns the count.
// An interrupt is acted on between blocks, so no block is sent in part.
static uint64_t StreamFile()
{
    // The countdown's figures are 32-bit as on the original platform: one
    // that went below zero shows as its unsigned value. The count of bytes
    // sent is what the success line states, so it must be true whatever
    // the file's size.
    uint32_t remaining = static_cast<uint32_t>(State.ConfigLength);
    uint64_t total = 0;
    errno = 0;
    std::size_t n;
    StopIfInterrupted();
    while ((n = std::fread(State.BlockBuffer, 1, BLOCK_SIZE, State.ConfigFile)) > 0) {
        // Without a reader this write waits; an interrupt cuts it short.
        std::printf("%-6" PRIu32 "\r", remaining);
        std::fflush(stdout);
        total += n;
        remaining -= static_cast<uint32_t>(n);
        WriteBlock(State.BlockBuffer, n);
        errno = 0;
        StopIfInterrupted();
    }
    // The stream's error flag is what reliably tells a read error from the
    // end of the file. errno, cleared before every read, is tested as well
    // so that a failed read that the library reports only through errno
    // still ends the run as a read error, never as a success.
    const bool readFailed = std::ferror(State.ConfigFile) || errno != 0;
    StopCatchingInterrupts();
    // An interrupt that came during the last block, or cut the last read
    // short, is what the operator asked for: it comes before the read error.
    StopIfInterrupted();
    if (readFailed)
        AbortProgramming(EXIT_FILE_IO, "File I/O error.");
    std::printf("%-6" PRIu32, uint32_t{0});
    return total;
}

// Everything that stores into the data window, from the first data byte to
// the last trailing byte; *total receives the count of data bytes sent.
static void SendConfiguration(void* total)
{
    *static_cast<uint64_t*>(total) = StreamFile();
    std::fclose(State.ConfigFile);
    State.ConfigFile = nullptr;
    if (ConfirmDone() != 0)
        FatalExit(EXIT_NOT_DONE, "Error: Not <DONE>; programming not completed.");
    for (int i = 0; i < TRAILING_BYTES; ++i)
        WriteByteRaw(0xFF);
}

void ProgramCard()
{
    CatchInterrupts();
    StartConfigurationCycle();
    uint64_t total = 0;
    if (!RunWithWindowGuard(SendConfiguration, &total))
        AbortProgramming(EXIT_CARD_ACCESS, "Can't access 9054 card data window.\n");
    std::printf("\nSuccessfully programmed %" PRIu64 " bytes.", total);
}
