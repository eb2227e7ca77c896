// The kernel's PCI files in sysfs as the backend reads them. Per device,
// only these files are used:
//   vendor device subsystem_vendor subsystem_device   IDs, text "0x%04x\n"
//   config       configuration space, read with pread
//   resource     one line per resource: start end flags
//   resourceN    the BAR itself: pread/pwrite for I/O, mmap for memory
//   enable       the kernel's count of enables, "%u\n"; written only when the
//                card does not decode I/O and memory
// and, for --list, the kernel's list of locks, /proc/locks. The parsers
// take text or bytes, never a file, so that what they accept can be tested
// line by line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pci/pci_address.h"
#include "pci/plx_api.h"

namespace sysfs {

// One line of `resource`.
struct Resource {
    uint64_t Start;
    uint64_t End;
    uint64_t Flags;
};

// Flags of a `resource` line (the kernel's IORESOURCE_IO / IORESOURCE_MEM).
constexpr uint64_t RESOURCE_IO = 0x100;
constexpr uint64_t RESOURCE_MEM = 0x200;

// An ID file's text, exactly as the kernel writes it: "0x%04x\n".
PlxStatus ParseIdText(std::string text, uint16_t* value);

// The `resource` file's text: lines of "0x%016llx 0x%016llx 0x%016llx\n",
// at least one per BAR and the expansion ROM.
PlxStatus ParseResources(const std::string& text, std::vector<Resource>* resources);

// `enable`'s text: a count in decimal, then a newline.
bool ParseEnableText(const std::string& text, unsigned* count);

// A flock(2) lock as a line of /proc/locks shows it (fs/locks.c):
//   "ID: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE 0 EOF"
// READ for a shared lock; MAJ and MIN in hex, the inode in decimal. PID is
// the locker as the reader's /proc sees it, 0 (or -1) where it cannot.
struct HeldFlock {
    long Pid;
    unsigned Major;
    unsigned Minor;
    uint64_t Inode;
};

// True for a line (without its newline) that shows a flock lock held on
// a file; false for every other line: other kinds of lock, a lock that a
// process waits for ("ID: -> FLOCK ..."), one on no file, anything
// malformed.
bool ParseHeldFlock(const std::string& line, HeldFlock* lock);

// The kernel's pci_resource_len: an all-zero range is no resource at all.
uint64_t ResourceLength(const Resource& r);

// Whether a register of width bytes (2 or 4) at offset is naturally
// aligned and lies within a configuration space of spaceSize bytes.
PlxStatus CheckConfigRange(uint64_t spaceSize, uint32_t offset, std::size_t width);

// A register's value from its bytes as configuration space holds them
// (little-endian).
uint32_t ConfigValue(const unsigned char* bytes, std::size_t width);

// The device folder's files, read and put through the parsers above.
PlxStatus ReadIdFile(const std::string& folder, const char* name, uint16_t* value);
PlxStatus ReadConfig(const std::string& folder, uint32_t offset, std::size_t width,
                     uint32_t* value);
PlxStatus ReadResources(const std::string& folder, std::vector<Resource>* resources);

}  // namespace sysfs
