#include "upload/program_card.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "card/byte_writers.h"
#include "card/control_register.h"
#include "card/window_guard.h"
#include "run/fatal_exit.h"
#include "run/run_record.h"
#include "run/run_state.h"
#include "upload/interruption.h"

// Clock bytes that let the FPGA finish its start-up after the data.
constexpr std::size_t TRAILING_BYTES = 24;

static const char WINDOW_LOST[] = "Can't access 9054 card data window.\n";

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

// errno, cleared before every read, is tested as well as the stream's error
// flag, so that a failed read that the library reports only through errno
// still ends the run as a read error, never as a success.
static std::size_t ReadBlock()
{
    errno = 0;
    return std::fread(State.BlockBuffer, 1, BLOCK_SIZE, State.ConfigFile);
}

struct Stream {
    bool ReadFailed;  // the end was a read error
};

// Sends everything from the file's position to its end, or up to the block
// boundary where an interrupt came, so that no block is sent in part. It
// runs under the window guard whole: a guard set up and taken down around
// each block's stores would cost the benchmark 8% of its speed. Every
// way out is a return, so the guard is always taken down.
static void StreamFile(void* stream)
{
    Stream* s = static_cast<Stream*>(stream);
    // The countdown's figures are 32-bit as on the original platform: one
    // that went below zero shows as its unsigned value. The count of bytes
    // sent is what the success line states, so it must be true whatever
    // the file's size.
    uint32_t remaining = static_cast<uint32_t>(State.ConfigLength);
    std::size_t n;
    while (InterruptSignal() == 0 && (n = ReadBlock()) > 0) {
        // Without a reader this write waits; an interrupt cuts it short.
        std::printf("%-6" PRIu32 "\r", remaining);
        std::fflush(stdout);
        remaining -= static_cast<uint32_t>(n);
        State.ByteWriter(State.BlockBuffer, n);
        // Counted once sent: a block that the window's loss cut short is not.
        State.BytesSent += n;
    }
    s->ReadFailed = std::ferror(State.ConfigFile) || errno != 0;
}

// From the start of the configuration cycle to the last data byte: the
// time in which a signal is an interrupt. The record starts before it, so
// that a signal while the file is hashed ends a run that changed nothing.
static uint64_t SendConfigurationData()
{
    StartRunRecord();
    CatchInterrupts();
    StartConfigurationCycle();
    Stream stream = {false};
    if (!RunWithWindowGuard(StreamFile, &stream))
        AbortProgramming(EXIT_CARD_ACCESS, WINDOW_LOST);
    // An interrupt, one that cut the last read short included, is what the
    // operator asked for: it comes before a read error. Acted on while the
    // signals are still caught, it cannot be followed by a second one that
    // ends the run before PROGRAM is cleared.
    StopIfInterrupted();
    StopCatchingInterrupts();
    // One that came before its signal was given back.
    StopIfInterrupted();
    if (stream.ReadFailed)
        AbortProgramming(EXIT_FILE_IO, "File I/O error.");
    std::printf("%-6" PRIu32, uint32_t{0});
    return State.BytesSent;
}

static void SendTrailingBytes(void*)
{
    uint8_t trailer[TRAILING_BYTES];
    std::memset(trailer, 0xFF, sizeof trailer);
    WriteByteRaw(trailer, sizeof trailer);
}

void ProgramCard()
{
    const uint64_t total = SendConfigurationData();
    std::fclose(State.ConfigFile);
    State.ConfigFile = nullptr;
    if (ConfirmDone() != 0)
        FatalExit(EXIT_NOT_DONE, "Error: Not <DONE>; programming not completed.");
    if (!RunWithWindowGuard(SendTrailingBytes, nullptr))
        AbortProgramming(EXIT_CARD_ACCESS, WINDOW_LOST);
    // Through VFIO the kernel resets the card as the run closes it: without
    // a holder to keep it open, the load would be lost, and is no success.
    if (PlxHost_HoldDevice(&State.CardDevice) != PLX_STATUS_OK)
        FatalExit(EXIT_CARD_ACCESS,
                  "Can't start the holder that keeps the 9054 card loaded after this run.\n");
    std::printf("\nSuccessfully programmed %" PRIu64 " bytes.", total);
}
