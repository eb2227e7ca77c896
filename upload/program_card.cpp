#include "upload/program_card.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "app/fatal_exit.h"
#include "app/run_state.h"
#include "card/byte_writers.h"
#include "card/control_register.h"

// Clock bytes that let the FPGA finish its start-up after the data.
constexpr int TRAILING_BYTES = 24;

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
static uint32_t StreamFile()
{
    // Figures are 32-bit as on the original platform: a countdown that
    // went below zero shows as its unsigned value.
    uint32_t remaining = static_cast<uint32_t>(State.ConfigLength);
    uint32_t total = 0;
    errno = 0;
    std::size_t n;
    while ((n = std::fread(State.BlockBuffer, 1, BLOCK_SIZE, State.ConfigFile)) > 0) {
        std::printf("%-6" PRIu32 "\r", remaining);
        std::fflush(stdout);
        total += static_cast<uint32_t>(n);
        remaining -= static_cast<uint32_t>(n);
        WriteBlock(State.BlockBuffer, n);
        errno = 0;
    }
    // The stream's own error flag is what tells a read error from the end
    // of the file; errno alone can be set or cleared by other calls.
    if (std::ferror(State.ConfigFile) || errno != 0) {
        ControlClearProgramBit();
        FatalExit(EXIT_FILE_IO, "File I/O error.");
    }
    std::printf("%-6" PRIu32, uint32_t{0});
    return total;
}

void ProgramCard()
{
    StartConfigurationCycle();
    const uint32_t total = StreamFile();
    std::fclose(State.ConfigFile);
    State.ConfigFile = nullptr;
    if (ConfirmDone() != 0)
        FatalExit(EXIT_NOT_DONE, "Error: Not <DONE>; programming not completed.");
    for (int i = 0; i < TRAILING_BYTES; ++i)
        WriteByteRaw(0xFF);
    std::printf("\nSuccessfully programmed %" PRIu32 " bytes.", total);
}
