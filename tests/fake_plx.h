// A scripted stand-in for the card-access layer: linked in its place, it
// answers from the values a test sets and records every call.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "pci/plx_api.h"

struct FakePlx {
    PlxStatus FindStatus = PLX_STATUS_OK;
    PlxStatus OpenStatus = PLX_STATUS_OK;
    PlxStatus ConfigStatus = PLX_STATUS_OK;
    PlxStatus MapStatus = PLX_STATUS_OK;
    int FailPortReadAt = -1;   // zero-based index of the port read that fails
    int FailPortWriteAt = -1;  // likewise for writes
    // The port read that shows DONE clear, counted from 0 after the latest
    // write: so many reads in a row follow a write only in the DONE
    // confirmation.
    int ClearDoneAtReadAfterWrite = -1;
    DeviceKey FoundKey = {};
    uint32_t Bar1 = 0xE001;
    void* MapAddress = nullptr;          // null: the fake's own window
    bool MapNull = false;                // the map call yields a null address
    uint32_t Register = 0x00000002;      // the control/status register
    std::deque<uint32_t> ScriptedReads;  // read before Register, in order
    int PortReads = 0;
    int PortWrites = 0;
    int ReadsSinceWrite = 0;
    std::vector<uint32_t> Written;
    std::vector<std::string> Calls;
    std::vector<std::clock_t> CallTimes;  // the processor clock at each call
    std::vector<uint8_t> WindowAtCall;    // the window's first byte at each call
    // A window the access could not map: its store and context, as
    // PlxHost_WindowStore gives them (null: the mapping takes the stores).
    PlxWindowStore Store = nullptr;
    void* StoreContext = nullptr;
    PlxStatus StoreStatus = PLX_STATUS_OK;
    PlxStatus HoldStatus = PLX_STATUS_OK;
    PlxStatus ReleaseStatus = PLX_STATUS_OK;
    int Holder = 0;  // what PlxHost_ReleaseDevice reports
    std::string LogPath;  // calls are appended there too, for death tests; a fresh file per reset
    uint8_t* Window = nullptr;  // 64 bytes, shared with death tests' children: their stores show
};

extern FakePlx Fake;

// Fresh fake, fresh log and a fresh run state.
void ResetFake();

// The calls a death test's child made, read back from the log.
std::vector<std::string> ReadFakeLog(const std::string& path = Fake.LogPath);

// The logged calls from the first release (Unmap or Close) on, each
// followed by ';': what a run gave back, in which order, and that nothing
// touched the card afterwards. "Unmap;Close;" for a card held whole.
std::string ReleaseCalls();
