// A small virtual machine in which the real program runs against a real
// Linux kernel: QEMU (TCG), built with our model of the card
// (qemu-card/quorvel-9054.c), boots a Debian kernel image with an initramfs
// of our own (busybox, the program with its libraries, the test files, the
// kernel's own VFIO modules and guest_init.sh). Each card the plan names is one instance of the model,
// and each keeps a record of what it received, read here after the guest
// has powered off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/testkit/samples.h"

// One line of a card's record: what the card received, in order.
struct CardEvent {
    enum class Kind { Reset, Config, Mem, Io, WindowRead, Stray, Data, Done };
    Kind What = Kind::Reset;
    uint64_t Ns = 0;      // the guest's time; for Data, of its first byte
    uint64_t LastNs = 0;  // Data: of its last byte
    bool Write = false;   // Config, Mem, Io
    uint64_t Offset = 0;  // into configuration space or the BAR
    unsigned Size = 0;
    uint64_t Value = 0;
    Bytes Data;           // bytes the FPGA's port took
};

std::string Describe(const CardEvent& event);

// Reads a record; false, with the line and what is wrong with it in
// *error, unless every line is one the model writes and time never goes back.
bool ParseRecord(const std::string& text, std::vector<CardEvent>* events, std::string* error);

// Where a card sits. Behind a bridge of its own, under a PCIe root port of
// its own, a card is alone on its bus: the kernel resets it with a
// secondary bus reset of that bridge, and with an IOMMU the two make an
// IOMMU group of their own.
enum class Seat {
    RootBus,       // at Slot on bus 0
    SharedBridge,  // at Slot behind the boot's one pcie-pci-bridge (at 00:10.0)
    OwnBridge,     // at 01.0 behind a pcie-pci-bridge under a root port at 00:Slot.0
};

// One instance of the model.
struct GuestCard {
    std::string Name;        // what the cases call it
    unsigned Slot = 0;       // see Seat
    Seat Where = Seat::RootBus;
    std::string Properties;  // the model's, as -device takes them
    bool Recorded = true;    // keeps a record (which costs the model time per byte)
};

// How many bytes of a stream follow the FPGA's sync word, as the port sees
// it (AA 99 bit-reversed): the configuration size of a card made for it.
std::size_t ConfigSize(const Bytes& stream);

// A case of guest_init.sh (its case_NAME) and the card it uses.
struct GuestCase {
    std::string Name;
    std::string Card;
    std::size_t Hold = 0;  // a held run is held once it has printed this many bytes
};

struct GuestPlan {
    std::vector<GuestCard> Cards;
    std::vector<GuestCase> Cases;
    std::vector<std::pair<std::string, std::string>> Files;  // guest path, host path
    std::string KernelArgs;                                  // added to the command line
    bool Iommu = false;                                      // an Intel IOMMU (VT-d)
};

// Where the kernel finds the card: its bus and slot (function 0), and as
// DDDD:BB:SS.F. Firmware numbers the buses depth first, in slot order.
struct CardLocation {
    unsigned Bus = 0;
    unsigned Slot = 0;
};
CardLocation LocationOf(const GuestPlan& plan, const std::string& card);
std::string CardAddress(const GuestPlan& plan, const std::string& card);
// The card's position among the plan's cards in address order: the number
// the program is given for it.
unsigned CardNumber(const GuestPlan& plan, const std::string& card);

struct GuestRunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

struct GuestBoot {
    std::string Problem;  // empty when the guest ran every case and reported
    std::map<std::string, GuestRunResult> Runs;   // by run name
    std::map<std::string, std::string> Facts;     // by fact name
    // What each case's card received from the case's mark on: by case name;
    // "removed": what the remove case's card received once it was removed.
    std::map<std::string, std::vector<CardEvent>> Received;
    std::string Console;  // the guest's console, for failure messages
    double Seconds = 0;   // from start to power-off
};

// What a boot needs that is missing here, or "" when everything is there;
// kernel is set to the kernel image (fetched into the cache on first use)
// and qemu to the QEMU with the model (built by the kernel.qemu test).
std::string GuestPrerequisites(std::string* kernel, std::string* qemu);

GuestBoot BootGuest(const std::string& kernel, const std::string& qemu, const GuestPlan& plan);
