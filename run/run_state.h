// The program-wide run state, the exit statuses and the bridge register bits.
//
// One run is a straight line over a single state: each stage either
// succeeds or ends the process through FatalExit.
#pragma once

#include <cstdint>
#include <cstdio>

#include "pci/plx_api.h"

// The process's exit statuses, one per class of failure.
enum : int {
    EXIT_OK = 0,
    EXIT_USAGE = 100,
    EXIT_NOT_FOUND = 101,
    EXIT_NOT_DONE = 102,
    EXIT_BAD_FILE = 103,
    EXIT_FILE_IO = 104,
    EXIT_CARD_ACCESS = 105,
};

// Bits of the bridge's control/status register.
constexpr uint32_t MODE_BITS = 0x000C0000;
constexpr uint32_t PROGRAM_BIT = 0x00010000;
constexpr uint32_t DONE_BIT = 0x00000002;

constexpr std::size_t BLOCK_SIZE = 16384;

// WriteByteReversed or WriteByteRaw (card/byte_writers.h).
using ByteWriterFn = void (*)(const uint8_t* bytes, std::size_t count);

// How much of each .BIT header text the run keeps for the card's record: a
// real design name is a few dozen bytes, and a record must stay small.
constexpr std::size_t HEADER_TEXT_KEPT = 1024;

// The .BIT header's texts, in the order the file holds them.
enum : int { HEADER_DESIGN, HEADER_PART, HEADER_DATE, HEADER_TIME, HEADER_TEXTS };

struct RunState {
    DeviceObject CardDevice;
    int DeviceOpen;
    int WindowMapped;
    uint32_t ControlPort;
    void* DataWindow;
    // Set where the card's access could not map the window: each byte for
    // it goes through WindowStore(WindowStoreContext, byte) instead.
    PlxWindowStore WindowStore;
    void* WindowStoreContext;
    ByteWriterFn ByteWriter;
    FILE* ConfigFile;
    int32_t ConfigLength;
    uint8_t BlockBuffer[BLOCK_SIZE];
    // What the card's record says of the run (run/run_record.h).
    const char* ConfigName;    // the file as the command line names it
    const char* ConfigFormat;  // "bit" or "prom", once the file is recognised
    char HeaderText[HEADER_TEXTS][HEADER_TEXT_KEPT + 1];  // empty for a PROM image
    uint64_t BytesSent;        // configuration bytes sent so far
    int RecordStarted;         // set from StartRunRecord to EndRunRecord
};

extern RunState State;

// The name the program reports itself by, whatever it was invoked as.
extern const char* const PROGRAM_NAME;

// The version, as the build names it (the project's version in CMake).
extern const char* const PROGRAM_VERSION;
