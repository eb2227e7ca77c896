// A small virtual machine in which the real program runs against a real
// Linux kernel: QEMU (TCG) boots a Debian kernel image with an initramfs of
// our own (busybox, the program with its libraries, the test files and
// guest_init.sh), and QEMU's trace of device accesses records what the
// emulated card, a pci-testdev, received.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// One access the card received, as QEMU's trace shows it. The test device
// takes one byte at a time, so QEMU hands it a wider access as consecutive
// byte accesses; Merge32 puts four of them back together.
struct DeviceAccess {
    bool Write = false;
    uint64_t Address = 0;
    uint64_t Value = 0;
    unsigned Size = 0;

    bool operator==(const DeviceAccess& o) const
    {
        return Write == o.Write && Address == o.Address && Value == o.Value && Size == o.Size;
    }
};

std::string Describe(const DeviceAccess& access);

// Joins every four byte accesses in a row of one kind to address .. +3 into
// one 4-byte access, the first byte lowest.
std::vector<DeviceAccess> Merge32(const std::vector<DeviceAccess>& accesses);

struct GuestRunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

struct GuestPlan {
    std::vector<std::string> Cases;                           // guest_init.sh's case_NAME
    std::vector<std::pair<std::string, std::string>> Files;  // guest path, host path
    std::string KernelArgs;                                  // added to the command line
};

struct GuestBoot {
    std::string Problem;  // empty when the guest ran every case and reported
    std::map<std::string, GuestRunResult> Runs;                 // by run name
    std::map<std::string, std::string> Facts;                   // by fact name
    std::map<std::string, std::vector<DeviceAccess>> Received;  // by case; "removed": after it
    uint64_t MmioBase = 0;  // the card's memory BAR
    uint64_t IoBase = 0;    // the card's I/O BAR
    std::string Console;    // the guest's console, for failure messages
    double Seconds = 0;     // from start to power-off
};

// What a boot needs that is missing here, or "" when everything is there;
// kernel is set to the kernel image (fetched into the cache on first use).
std::string GuestPrerequisites(std::string* kernel);

GuestBoot BootGuest(const std::string& kernel, const GuestPlan& plan);
