// A simulated PCI bus: a folder laid out like the kernel's PCI files in
// sysfs, with plain files standing in for the kernel's, for the card-access
// layer to find and drive when VELDRAN_SYSFS_ROOT names the folder.
//
// Per card, ROOT/bus/pci/devices/DDDD:BB:SS.F holds vendor, device,
// subsystem_vendor, subsystem_device, class, revision (so that lspci can
// read the bus too), config (256 bytes), resource (13 lines,
// as Linux 6.1 prints them), resource1 (the 256-byte register block of BAR 1,
// I/O) and resource3 (BAR 3, memory), both mode 0600 as the kernel makes
// them, and enable. Being plain files, they keep what is written to them:
// resource1 at 0x6C is the control/status register.
//
// Where the real kernel differs (the kernel suite, tests/kernel, shows it):
// writing "1" to enable turns nothing on here, as for a caller the kernel
// refuses; the kernel turns decoding on, but only while its enable count is
// 0. resource1 here takes accesses of any size; the kernel's takes only 1,
// 2 or 4 bytes, each one port cycle. Nothing here models the 64 bytes of
// config that the kernel shows callers without CAP_SYS_ADMIN. Lockdown is
// only ROOT/kernel/security/lockdown, made reading "[none] integrity
// confidentiality" as a Debian kernel shows it, for tests to rewrite.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SimCard {
    uint32_t Domain = 0;
    uint8_t Bus = 1, Slot = 0, Function = 0;
    uint16_t VendorId = 0x10b5, DeviceId = 0x9054, SubVendorId = 0x10b5, SubDeviceId = 0x3311;
    uint32_t IoBase = 0xE000;           // bus address of BAR 1 (I/O, 256 bytes, 256-aligned)
    uint64_t IoResourceStart = 0;       // start column of BAR 1 in `resource`; 0 = IoBase, as on x86
    uint32_t Control = 0x00000002;      // initial control/status register; 0x2 = DONE set
    uint32_t Bar3Address = 0xF0000000;  // page-aligned bus address of BAR 3's page (memory)
    uint32_t Bar3Size = 4096;           // length of BAR 3: a power of two >= 16, or 0 for no BAR 3
    uint32_t Bar3PageOffset = 0;        // where BAR 3 starts within its page (a multiple of its size)
    bool Decoding = true;               // command register bits 0 (I/O) and 1 (memory)
    int Enable = -1;  // what `enable` reads, the kernel's count of enables; -1: 1 if Decoding, else 0
    bool Symlink = true;  // folder under ROOT/devices/pciDDDD:BB/, linked from bus/pci/devices
    // Its IOMMU group: ROOT/kernel/iommu_groups/N/devices/NAME and the
    // card's iommu_group link to that group, as the kernel lays them out
    // with an IOMMU; -1 for none, as without one.
    int Group = -1;
    // The driver bound to it: a `driver` link to ROOT/bus/pci/drivers/NAME,
    // or none.
    std::string Driver;
};

constexpr uint32_t SIM_CONTROL_OFFSET = 0x6C;  // in resource1

// Checks that the cards can be laid out (addresses, alignments, no
// duplicates); on failure *error says why.
bool CheckSimCards(const std::vector<SimCard>& cards, std::string* error);

// Lays out the cards under root, creating root if needed, and the lockdown
// file if there is none. An existing root keeps what it has; a card whose
// device entry already exists is an error.
// Nothing is written outside root, and nothing is written at all if the
// cards do not pass CheckSimCards.
bool MakeSimBus(const std::string& root, const std::vector<SimCard>& cards, std::string* error);

std::string SimDeviceName(const SimCard& card);                           // DDDD:BB:SS.F
std::string SimDevicePath(const std::string& root, const SimCard& card);  // ROOT/bus/pci/devices/NAME

// VFIO's device files for the cards' groups under devRoot (what
// VELDRAN_DEV_ROOT names in place of /dev): vfio/vfio, mode 0666 as the
// kernel makes it, and vfio/N for each group, 0600. Plain files: the
// method's ioctls fail on them, but who may open them, and who has them
// open, shows as on a real system.
bool MakeSimDevices(const std::string& devRoot, const std::vector<SimCard>& cards,
                    std::string* error);

// The control/status register (resource1 at 0x6C, little-endian);
// 0xFFFFFFFF if it cannot be read.
uint32_t ReadSimControl(const std::string& root, const SimCard& card);
bool ReadSimControl(const std::string& root, const SimCard& card, uint32_t* value,
                    std::string* error);
bool WriteSimControl(const std::string& root, const SimCard& card, uint32_t value,
                     std::string* error);

// The command-line forms, as veldran-simbus takes them.
// Address: DDDD:BB:SS.F in lowercase hex (the kernel's "%04x:%02x:%02x.%d").
bool ParseSimAddress(const std::string& text, SimCard* card, std::string* error);
// Card: comma-separated key=value items over a default SimCard; keys addr,
// vendor, device, subvendor, subsys, io, iostart, control, bar3addr,
// bar3size, bar3offset, decode, enable, symlink, group, driver. Numbers are
// 0x-hex or decimal.
bool ParseSimCard(const std::string& text, SimCard* card, std::string* error);
