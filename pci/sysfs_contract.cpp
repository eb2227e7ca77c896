// The card-access contract (pci/plx_api.h) on Linux, over the kernel's PCI
// files in sysfs.
//
// Devices are the entries of ROOT/bus/pci/devices/, named DDDD:BB:SS.F;
// ROOT is /sys, or the folder named by VELDRAN_SYSFS_ROOT (read on every
// call that looks for devices). Per device, only these files are used:
//   vendor device subsystem_vendor subsystem_device   IDs, text "0x%04x\n"
//   config       configuration space, read with pread
//   resource     one line per resource: start end flags
//   resourceN    the BAR itself: pread/pwrite for I/O, mmap for memory
//   enable       written only when the card does not decode I/O and memory
// Every file is reached with open/pread/pwrite/mmap, never stdio: the
// kernel takes only 1, 2 or 4 byte accesses to an I/O BAR's file.
//
// Failures return one of the codes of pci/plx_sysfs_status.h; callers
// give them no meaning beyond "failed".
#include "pci/plx_api.h"
#include "pci/plx_sysfs_status.h"
#include "pci/sysfs_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Flags of a `resource` line (the kernel's IORESOURCE_IO / IORESOURCE_MEM).
constexpr uint64_t RESOURCE_IO = 0x100;
constexpr uint64_t RESOURCE_MEM = 0x200;
// 6 BARs and the expansion ROM; newer kernels print more lines.
constexpr std::size_t RESOURCE_MIN_LINES = 7;
constexpr std::size_t SMALL_FILE_MAX = 64;
constexpr std::size_t RESOURCE_FILE_MAX = 16384;
constexpr uint16_t COMMAND_OFFSET = 0x04;
constexpr uint16_t COMMAND_DECODE_BITS = 0x0003;  // I/O space | memory space
constexpr uint16_t BAR0_OFFSET = 0x10;
constexpr uint32_t IO_BAR_FLAG = 0x1;
constexpr uint32_t IO_BAR_MASK = 0xFFFFFFFC;

struct PciAddress {
    uint32_t Domain;
    uint8_t Bus;
    uint8_t Slot;
    uint8_t Function;
};

bool AddressLess(const PciAddress& a, const PciAddress& b)
{
    return std::tie(a.Domain, a.Bus, a.Slot, a.Function) <
           std::tie(b.Domain, b.Bus, b.Slot, b.Function);
}

bool SameAddress(const PciAddress& a, const PciAddress& b)
{
    return a.Domain == b.Domain && a.Bus == b.Bus && a.Slot == b.Slot &&
           a.Function == b.Function;
}

struct Resource {
    uint64_t Start;
    uint64_t End;
    uint64_t Flags;
};

// The kernel's pci_resource_len: an all-zero range is no resource at all.
uint64_t ResourceLength(const Resource& r)
{
    if (r.End < r.Start || (r.Start == 0 && r.End == 0))
        return 0;
    return r.End - r.Start + 1;
}

// A device found on the bus.
struct Found {
    PciAddress Address;
    std::string Path;  // ROOT/bus/pci/devices/NAME (the link, if it is one)
    DeviceKey Key;
};

// Devices opened and not yet closed, for PlxPci_PciRegisterRead, which is
// given no domain. Keyed by address, not by object, so that a copied
// DeviceObject closes as well as the original.
struct OpenRecord {
    PciAddress Address;
    std::string Path;
};

std::vector<OpenRecord>& OpenRecords()
{
    static std::vector<OpenRecord> records;
    return records;
}

// ---- paths and names -------------------------------------------------------

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int LowerHexDigit(char c)
{
    return (c >= 'A' && c <= 'F') ? -1 : HexDigit(c);
}

// Reads between minDigits and maxDigits lowercase hex digits at *p.
bool TakeLowerHex(const char** p, int minDigits, int maxDigits, uint32_t* value)
{
    uint32_t v = 0;
    int n = 0;
    while (n < maxDigits && LowerHexDigit((*p)[n]) >= 0) {
        v = (v << 4) | static_cast<uint32_t>(LowerHexDigit((*p)[n]));
        ++n;
    }
    if (n < minDigits || LowerHexDigit((*p)[n]) >= 0)
        return false;
    *p += n;
    *value = v;
    return true;
}

// The kernel's "%04x:%02x:%02x.%d", and nothing else.
bool ParseDeviceName(const char* name, PciAddress* address)
{
    const char* p = name;
    uint32_t domain = 0, bus = 0, slot = 0;
    if (!TakeLowerHex(&p, 4, 8, &domain))
        return false;
    if (p - name > 4 && name[0] == '0')  // longer than 4 digits only when needed
        return false;
    if (*p++ != ':' || !TakeLowerHex(&p, 2, 2, &bus) || *p++ != ':' ||
        !TakeLowerHex(&p, 2, 2, &slot) || *p++ != '.')
        return false;
    if (slot > 0x1F || p[0] < '0' || p[0] > '7' || p[1] != '\0')
        return false;
    address->Domain = domain;
    address->Bus = static_cast<uint8_t>(bus);
    address->Slot = static_cast<uint8_t>(slot);
    address->Function = static_cast<uint8_t>(p[0] - '0');
    return true;
}

bool IsFolder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);  // follows links
}

// ---- file access -----------------------------------------------------------

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    bool Ok() const { return fd_ >= 0; }

private:
    int fd_;
};

int OpenFile(const std::string& path, int flags)
{
    int fd;
    do
        fd = open(path.c_str(), flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// One pread or pwrite of exactly size bytes; a short transfer is a failure
// (an I/O BAR's file must see the access whole).
bool PreadExact(int fd, void* buffer, std::size_t size, uint64_t offset)
{
    ssize_t n;
    do
        n = pread(fd, buffer, size, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n >= 0 && static_cast<std::size_t>(n) == size;
}

bool PwriteExact(int fd, const void* buffer, std::size_t size, uint64_t offset)
{
    ssize_t n;
    do
        n = pwrite(fd, buffer, size, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n >= 0 && static_cast<std::size_t>(n) == size;
}

// Reads a whole small file; fails if it cannot be read or exceeds limit.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* text)
{
    Fd fd(OpenFile(path, O_RDONLY));
    if (!fd.Ok())
        return false;
    text->clear();
    char buffer[512];
    for (;;) {
        ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (text->size() + static_cast<std::size_t>(n) > limit)
            return false;
        text->append(buffer, static_cast<std::size_t>(n));
    }
}

// An ID file: "0x" and 1 to 4 hex digits, then an optional newline.
PlxStatus ReadIdFile(const std::string& folder, const char* name, uint16_t* value)
{
    std::string text;
    if (!ReadSmallFile(folder + "/" + name, SMALL_FILE_MAX, &text))
        return PLX_ERR_FILE;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.size() < 3 || text.size() > 6 || text[0] != '0' || text[1] != 'x')
        return PLX_ERR_PARSE;
    uint32_t v = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        int digit = HexDigit(text[i]);
        if (digit < 0)
            return PLX_ERR_PARSE;
        v = (v << 4) | static_cast<uint32_t>(digit);
    }
    *value = static_cast<uint16_t>(v);
    return PLX_STATUS_OK;
}

// Reads a naturally aligned 2- or 4-byte little-endian register from the
// device's configuration space.
PlxStatus ReadConfig(const std::string& folder, uint32_t offset, std::size_t width,
                     uint32_t* value)
{
    if (offset % width != 0)
        return PLX_ERR_ARGUMENT;
    Fd fd(OpenFile(folder + "/config", O_RDONLY));
    if (!fd.Ok())
        return PLX_ERR_FILE;
    struct stat st;
    if (fstat(fd.Get(), &st) != 0)
        return PLX_ERR_FILE;
    if (st.st_size < 0 || static_cast<uint64_t>(offset) + width > static_cast<uint64_t>(st.st_size))
        return PLX_ERR_ARGUMENT;
    unsigned char bytes[4] = {};
    if (!PreadExact(fd.Get(), bytes, width, offset))
        return PLX_ERR_FILE;
    uint32_t v = 0;
    for (std::size_t i = width; i-- > 0;)
        v = (v << 8) | bytes[i];
    *value = v;
    return PLX_STATUS_OK;
}

// "0x" and exactly 16 hex digits.
bool TakeResourceField(const char** p, uint64_t* value)
{
    if ((*p)[0] != '0' || (*p)[1] != 'x')
        return false;
    uint64_t v = 0;
    for (int i = 2; i < 18; ++i) {
        int digit = HexDigit((*p)[i]);
        if (digit < 0)
            return false;
        v = (v << 4) | static_cast<uint64_t>(digit);
    }
    *p += 18;
    *value = v;
    return true;
}

// The `resource` file: lines of "0x%016llx 0x%016llx 0x%016llx\n".
PlxStatus ReadResources(const std::string& folder, std::vector<Resource>* resources)
{
    std::string text;
    if (!ReadSmallFile(folder + "/resource", RESOURCE_FILE_MAX, &text))
        return PLX_ERR_FILE;
    resources->clear();
    const char* p = text.c_str();
    const char* end = p + text.size();
    while (p < end) {
        Resource r;
        if (!TakeResourceField(&p, &r.Start) || *p++ != ' ' || !TakeResourceField(&p, &r.End) ||
            *p++ != ' ' || !TakeResourceField(&p, &r.Flags) || *p++ != '\n')
            return PLX_ERR_PARSE;
        resources->push_back(r);
    }
    if (p != end || resources->size() < RESOURCE_MIN_LINES)
        return PLX_ERR_PARSE;
    return PLX_STATUS_OK;
}

std::string ResourceFile(const std::string& folder, unsigned bar)
{
    return folder + "/resource" + std::to_string(bar);
}

// ---- devices ---------------------------------------------------------------

bool KeyWants8(uint8_t field, uint8_t value)
{
    return field == PLX_IGNORE_8 || field == value;
}

bool KeyWants16(uint16_t field, uint16_t value)
{
    return field == PLX_IGNORE_16 || field == value;
}

bool KeyWants32(uint32_t field, uint32_t value)
{
    return field == PLX_IGNORE_32 || field == value;
}

bool AddressMatches(const DeviceKey& want, const PciAddress& a)
{
    return KeyWants32(want.Domain, a.Domain) && KeyWants8(want.Bus, a.Bus) &&
           KeyWants8(want.Slot, a.Slot) && KeyWants8(want.Function, a.Function);
}

// Reads the four IDs of the device at folder into key; false if its vendor
// or device ID is missing or malformed. The subsystem IDs identify the
// board as a pair: if either cannot be read, both read as all ones (no
// known board). The device still matches a search that ignores them, so it
// keeps its place and the cards after it keep their numbers.
bool ReadIds(const std::string& folder, DeviceKey* key)
{
    if (ReadIdFile(folder, "vendor", &key->VendorId) != PLX_STATUS_OK ||
        ReadIdFile(folder, "device", &key->DeviceId) != PLX_STATUS_OK)
        return false;
    if (ReadIdFile(folder, "subsystem_vendor", &key->SubVendorId) != PLX_STATUS_OK ||
        ReadIdFile(folder, "subsystem_device", &key->SubDeviceId) != PLX_STATUS_OK) {
        key->SubVendorId = PLX_IGNORE_16;
        key->SubDeviceId = PLX_IGNORE_16;
    }
    return true;
}

bool IdsMatch(const DeviceKey& want, const DeviceKey& have)
{
    return KeyWants16(want.VendorId, have.VendorId) && KeyWants16(want.DeviceId, have.DeviceId) &&
           KeyWants16(want.SubVendorId, have.SubVendorId) &&
           KeyWants16(want.SubDeviceId, have.SubDeviceId);
}

// Fills in the device at path (found->Address already parsed from its
// name); false unless it is a device whose IDs match want.
bool Describe(const std::string& path, const DeviceKey& want, Found* found)
{
    found->Path = path;
    if (!IsFolder(path) || !ReadIds(path, &found->Key) || !IdsMatch(want, found->Key))
        return false;
    found->Key.Domain = found->Address.Domain;
    found->Key.Bus = found->Address.Bus;
    found->Key.Slot = found->Address.Slot;
    found->Key.Function = found->Address.Function;
    found->Key.AtAddress = PLX_AT_ADDRESS;
    return true;
}

// Every device matching want, in domain, bus, slot, function order.
// Entries that cannot be read or parsed are skipped.
PlxStatus ListMatches(const DeviceKey& want, std::vector<Found>* matches)
{
    const std::string folder = DevicesFolder();
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return PLX_ERR_NOT_FOUND;
    matches->clear();
    while (const struct dirent* entry = readdir(dir)) {
        Found found;
        if (!ParseDeviceName(entry->d_name, &found.Address) ||
            !AddressMatches(want, found.Address))
            continue;
        if (Describe(folder + "/" + entry->d_name, want, &found))
            matches->push_back(found);
    }
    closedir(dir);
    std::sort(matches->begin(), matches->end(),
              [](const Found& a, const Found& b) { return AddressLess(a.Address, b.Address); });
    return PLX_STATUS_OK;
}

PlxStatus FindDevice(const DeviceKey& want, uint16_t index, Found* found)
{
    std::vector<Found> matches;
    PlxStatus status = ListMatches(want, &matches);
    if (status != PLX_STATUS_OK)
        return status;
    if (index >= matches.size())
        return PLX_ERR_NOT_FOUND;
    *found = matches[index];
    return PLX_STATUS_OK;
}

// The device at exactly the key's address. Every value of the address is
// taken as it is, all ones included: a card on bus 0xff is on bus 0xff,
// and one in domain 0xffffffff in that domain.
PlxStatus FindAt(const DeviceKey& want, Found* found)
{
    char name[32];
    std::snprintf(name, sizeof name, "%04x:%02x:%02x.%u", static_cast<unsigned>(want.Domain),
                  static_cast<unsigned>(want.Bus), static_cast<unsigned>(want.Slot),
                  static_cast<unsigned>(want.Function));
    if (!ParseDeviceName(name, &found->Address))
        return PLX_ERR_NOT_FOUND;
    return Describe(DevicesFolder() + "/" + name, want, found) ? PLX_STATUS_OK : PLX_ERR_NOT_FOUND;
}

// The folder of the device at bus/slot/function: that of an open device
// with those numbers (the lowest domain if several are open), else the
// lowest domain on the bus that has one.
PlxStatus ResolveFolder(uint8_t bus, uint8_t slot, uint8_t function, std::string* path)
{
    const OpenRecord* best = nullptr;
    for (const OpenRecord& record : OpenRecords()) {
        const PciAddress& a = record.Address;
        if (a.Bus == bus && a.Slot == slot && a.Function == function &&
            (best == nullptr || a.Domain < best->Address.Domain))
            best = &record;
    }
    if (best != nullptr) {
        *path = best->Path;
        return PLX_STATUS_OK;
    }
    const std::string folder = DevicesFolder();
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return PLX_ERR_NOT_FOUND;
    bool have = false;
    uint32_t bestDomain = 0;
    while (const struct dirent* entry = readdir(dir)) {
        PciAddress a;
        if (!ParseDeviceName(entry->d_name, &a) || a.Bus != bus || a.Slot != slot ||
            a.Function != function || (have && a.Domain >= bestDomain))
            continue;
        std::string candidate = folder + "/" + entry->d_name;
        if (!IsFolder(candidate))
            continue;
        have = true;
        bestDomain = a.Domain;
        *path = candidate;
    }
    closedir(dir);
    return have ? PLX_STATUS_OK : PLX_ERR_NOT_FOUND;
}

bool WriteEnable(const std::string& folder)
{
    Fd fd(OpenFile(folder + "/enable", O_WRONLY));
    return fd.Ok() && PwriteExact(fd.Get(), "1", 1, 0);
}

// The card must decode both I/O and memory; if it does not, ask the kernel
// to enable it and look again.
PlxStatus EnsureDecoding(const std::string& folder)
{
    uint32_t command = 0;
    PlxStatus status = ReadConfig(folder, COMMAND_OFFSET, 2, &command);
    if (status != PLX_STATUS_OK)
        return status;
    if ((command & COMMAND_DECODE_BITS) == COMMAND_DECODE_BITS)
        return PLX_STATUS_OK;
    WriteEnable(folder);  // whether it worked shows in the register
    status = ReadConfig(folder, COMMAND_OFFSET, 2, &command);
    if (status != PLX_STATUS_OK)
        return status;
    return (command & COMMAND_DECODE_BITS) == COMMAND_DECODE_BITS ? PLX_STATUS_OK
                                                                  : PLX_ERR_NOT_DECODING;
}

// Takes the device for this process: an exclusive lock on the file of its
// first I/O BAR, the register block every run must open read-write anyway.
// Only those allowed to drive the card can open that file, so no one else
// can hold a card against its operators. A process that cannot open it
// takes no lock, and cannot drive the card either. The lock goes with the
// descriptor, so the kernel drops it however the process ends.
PlxStatus LockDevice(const std::string& folder, int* lockFile)
{
    *lockFile = -1;
    std::vector<Resource> resources;
    if (ReadResources(folder, &resources) != PLX_STATUS_OK)
        return PLX_STATUS_OK;
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if ((resources[bar].Flags & RESOURCE_IO) == 0 || ResourceLength(resources[bar]) == 0)
            continue;
        const int fd = OpenFile(ResourceFile(folder, bar), O_RDWR);
        if (fd < 0)
            return PLX_STATUS_OK;
        int result;
        do
            result = flock(fd, LOCK_EX | LOCK_NB);
        while (result != 0 && errno == EINTR);
        if (result != 0 && errno == EWOULDBLOCK) {
            close(fd);
            return PLX_ERR_BUSY;
        }
        *lockFile = fd;  // where locks are not supported, held all the same
        return PLX_STATUS_OK;
    }
    return PLX_STATUS_OK;
}

void CloseFile(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

bool IsOpenDevice(const DeviceObject* device)
{
    return device != nullptr && device->IsOpen == 1 &&
           std::memchr(device->Path, '\0', PLX_PATH_MAX) != nullptr && device->Path[0] != '\0';
}

PciAddress AddressOf(const DeviceKey& key)
{
    return PciAddress{key.Domain, key.Bus, key.Slot, key.Function};
}

void ForgetOpen(const PciAddress& address)
{
    std::vector<OpenRecord>& records = OpenRecords();
    for (auto it = records.begin(); it != records.end(); ++it) {
        if (SameAddress(it->Address, address)) {
            records.erase(it);
            return;
        }
    }
}

// ---- I/O ports -------------------------------------------------------------

bool WidthMatches(uint32_t size, int accessType)
{
    return (size == 1 && accessType == PLX_ACCESS_8) ||
           (size == 2 && accessType == PLX_ACCESS_16) ||
           (size == 4 && accessType == PLX_ACCESS_32);
}

// Reads the I/O BARs once. A BAR's base is its value in configuration
// space (the bus address), not the `resource` start, which on some
// architectures is a logical port number.
PlxStatus LoadIoBars(DeviceObject* device)
{
    const std::string folder = device->Path;
    std::vector<Resource> resources;
    PlxStatus status = ReadResources(folder, &resources);
    if (status != PLX_STATUS_OK)
        return status;
    for (unsigned i = 0; i < static_cast<unsigned>(PLX_BAR_COUNT); ++i) {
        device->PortBase[i] = 0;
        device->PortLength[i] = 0;
        const uint64_t length = ResourceLength(resources[i]);
        if ((resources[i].Flags & RESOURCE_IO) == 0 || length == 0)
            continue;
        uint32_t value = 0;
        status = ReadConfig(folder, BAR0_OFFSET + 4 * i, 4, &value);
        if (status != PLX_STATUS_OK)
            return status;
        if ((value & IO_BAR_FLAG) == 0)
            continue;  // configuration space disagrees: not an I/O BAR
        device->PortBase[i] = value & IO_BAR_MASK;
        device->PortLength[i] = length;
    }
    device->PortsKnown = 1;
    return PLX_STATUS_OK;
}

// Finds the I/O BAR holding port..port+size-1.
PlxStatus FindIoBar(const DeviceObject* device, uint64_t port, uint32_t size, unsigned* bar,
                    uint64_t* offset)
{
    for (unsigned i = 0; i < static_cast<unsigned>(PLX_BAR_COUNT); ++i) {
        const uint64_t base = device->PortBase[i];
        const uint64_t length = device->PortLength[i];
        if (length == 0 || port < base || port - base >= length ||
            size > length - (port - base))
            continue;
        *bar = i;
        *offset = port - base;
        return PLX_STATUS_OK;
    }
    return PLX_ERR_PORT_RANGE;
}

void ClosePortFiles(DeviceObject* device)
{
    for (int& fd : device->PortFile)
        CloseFile(&fd);
}

PlxStatus PortAccess(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                     int accessType, bool write)
{
    if (value == nullptr || !WidthMatches(size, accessType))
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    if (!device->PortsKnown) {
        const PlxStatus status = LoadIoBars(device);
        if (status != PLX_STATUS_OK)
            return status;
    }
    unsigned bar = 0;
    uint64_t offset = 0;
    const PlxStatus status = FindIoBar(device, port, size, &bar, &offset);
    if (status != PLX_STATUS_OK)
        return status;
    if (device->PortFile[bar] < 0) {
        device->PortFile[bar] = OpenFile(ResourceFile(device->Path, bar), O_RDWR);
        if (device->PortFile[bar] < 0)
            return PLX_ERR_FILE;
    }
    const bool done = write ? PwriteExact(device->PortFile[bar], value, size, offset)
                            : PreadExact(device->PortFile[bar], value, size, offset);
    return done ? PLX_STATUS_OK : PLX_ERR_FILE;
}

// ---- memory BARs -----------------------------------------------------------

PlxStatus MapBar(DeviceObject* device, unsigned bar, void** address)
{
    const std::string folder = device->Path;
    std::vector<Resource> resources;
    PlxStatus status = ReadResources(folder, &resources);
    if (status != PLX_STATUS_OK)
        return status;
    const Resource& r = resources[bar];
    const uint64_t length = ResourceLength(r);
    if ((r.Flags & RESOURCE_MEM) == 0 || length == 0)
        return PLX_ERR_BAR_TYPE;
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        return PLX_ERR_INTERNAL;
    const uint64_t page = static_cast<uint64_t>(pageSize);
    const uint64_t inPage = r.Start % page;
    if (length > UINT64_MAX - inPage - page)
        return PLX_ERR_BAR_TYPE;
    const uint64_t mapLength = (inPage + length + page - 1) / page * page;
    if (mapLength > SIZE_MAX)
        return PLX_ERR_BAR_TYPE;

    // Never resourceN_wc: every store must reach the card on its own.
    Fd fd(OpenFile(ResourceFile(folder, bar), O_RDWR));
    if (!fd.Ok())
        return PLX_ERR_FILE;
    struct stat st;
    if (fstat(fd.Get(), &st) != 0 || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) < length)
        return PLX_ERR_FILE;  // the kernel sizes the file to the BAR
    void* base = mmap(nullptr, static_cast<std::size_t>(mapLength), PROT_READ | PROT_WRITE,
                      MAP_SHARED, fd.Get(), 0);
    if (base == MAP_FAILED)
        return PLX_ERR_MAP;
    device->MapBase[bar] = base;
    device->MapLength[bar] = static_cast<std::size_t>(mapLength);
    device->MapOffset[bar] = static_cast<std::size_t>(inPage);
    *address = static_cast<unsigned char*>(base) + inPage;
    return PLX_STATUS_OK;
}

PlxStatus UnmapBar(DeviceObject* device, unsigned bar)
{
    const int result = munmap(device->MapBase[bar], device->MapLength[bar]);
    device->MapBase[bar] = nullptr;
    device->MapLength[bar] = 0;
    device->MapOffset[bar] = 0;
    return result == 0 ? PLX_STATUS_OK : PLX_ERR_MAP;
}

void* WindowOf(const DeviceObject* device, unsigned bar)
{
    return static_cast<unsigned char*>(device->MapBase[bar]) + device->MapOffset[bar];
}

// Finds the device the key names, takes it for this process and makes sure
// it decodes; on success *lockFile holds it.
PlxStatus Claim(const DeviceKey& key, Found* found, int* lockFile)
{
    PlxStatus status =
        key.AtAddress == PLX_AT_ADDRESS ? FindAt(key, found) : FindDevice(key, 0, found);
    if (status == PLX_STATUS_OK && found->Path.size() >= PLX_PATH_MAX)
        status = PLX_ERR_PATH_LONG;
    if (status == PLX_STATUS_OK)
        status = LockDevice(found->Path, lockFile);
    if (status == PLX_STATUS_OK)
        status = EnsureDecoding(found->Path);
    return status;
}

// No exception may cross the contract: the callers are plain C-style code
// that only looks at the status (std::string and std::vector can throw
// std::bad_alloc).
template <typename Call>
PlxStatus Guarded(Call call)
{
    try {
        return call();
    } catch (...) {
        return PLX_ERR_INTERNAL;
    }
}

}  // namespace

// ---- the contract ----------------------------------------------------------

PlxStatus PlxPci_DeviceFind(DeviceKey* key, uint16_t index)
{
    if (key == nullptr)
        return PLX_ERR_ARGUMENT;
    return Guarded([&] {
        Found found;
        const PlxStatus status = FindDevice(*key, index, &found);
        if (status == PLX_STATUS_OK)
            *key = found.Key;
        return status;
    });
}

PlxStatus PlxPci_DeviceOpen(DeviceKey* key, DeviceObject* device)
{
    if (key == nullptr || device == nullptr)
        return PLX_ERR_ARGUMENT;
    if (device->IsOpen == 1)
        return PLX_ERR_ALREADY_OPEN;
    int lockFile = -1;
    Found found;
    const PlxStatus status = Guarded([&] {
        const PlxStatus claimed = Claim(*key, &found, &lockFile);
        if (claimed == PLX_STATUS_OK)
            OpenRecords().push_back(OpenRecord{found.Address, found.Path});
        return claimed;
    });
    if (status != PLX_STATUS_OK) {
        CloseFile(&lockFile);
        return status;
    }
    std::memset(device, 0, sizeof *device);
    for (int& fd : device->PortFile)
        fd = -1;
    device->LockFile = lockFile;
    device->IsOpen = 1;
    device->Key = found.Key;
    std::memcpy(device->Path, found.Path.c_str(), found.Path.size() + 1);
    *key = found.Key;
    return PLX_STATUS_OK;
}

PlxStatus PlxPci_DeviceClose(DeviceObject* device)
{
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    PlxStatus status = PLX_STATUS_OK;
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if (device->MapBase[bar] != nullptr && UnmapBar(device, bar) != PLX_STATUS_OK)
            status = PLX_ERR_MAP;
    }
    ClosePortFiles(device);
    CloseFile(&device->LockFile);
    ForgetOpen(AddressOf(device->Key));
    device->IsOpen = 0;
    return status;
}

uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PlxStatus* status)
{
    uint32_t value = 0;
    const PlxStatus result = Guarded([&] {
        std::string folder;
        const PlxStatus found = ResolveFolder(bus, slot, function, &folder);
        return found == PLX_STATUS_OK ? ReadConfig(folder, offset, 4, &value) : found;
    });
    if (status != nullptr)
        *status = result;
    // What a read of nothing gives on PCI, as the vendor's library returns.
    return result == PLX_STATUS_OK ? value : 0xFFFFFFFF;
}

PlxStatus PlxPci_PciBarMap(DeviceObject* device, uint8_t barIndex, void** address)
{
    if (address == nullptr || barIndex >= PLX_BAR_COUNT)
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    if (device->MapBase[barIndex] != nullptr)
        return PLX_ERR_ALREADY_MAPPED;
    return Guarded([&] { return MapBar(device, barIndex, address); });
}

PlxStatus PlxPci_PciBarUnmap(DeviceObject* device, void** address)
{
    if (address == nullptr || *address == nullptr)
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if (device->MapBase[bar] != nullptr && WindowOf(device, bar) == *address) {
            PlxStatus status = UnmapBar(device, bar);
            *address = nullptr;
            return status;
        }
    }
    return PLX_ERR_NOT_MAPPED;
}

PlxStatus PlxPci_IoPortRead(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                            int accessType)
{
    return Guarded([&] { return PortAccess(device, port, value, size, accessType, false); });
}

PlxStatus PlxPci_IoPortWrite(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                             int accessType)
{
    return Guarded([&] { return PortAccess(device, port, value, size, accessType, true); });
}
