#include "tools/simbus/sim_bus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <tuple>

#include "pci/pci_address.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t IO_BAR_SIZE = 256;
constexpr std::size_t CONFIG_SIZE = 256;
// As Linux prints them for a device that is not a bridge: the six BARs, the
// expansion ROM and six SR-IOV BARs (seen on Debian 12's 6.1 kernel).
constexpr int RESOURCE_LINES = 13;
// The BARs' files are their owner's alone, as the kernel makes them (root's
// there): only those given access, by the udev rule or as root, may open
// them. The rest everyone may read; the kernel makes the IDs and `resource`
// read-only even for root, but the tests rewrite them, so they stay
// writable by their owner here.
constexpr mode_t MODE_READABLE = 0644;
constexpr mode_t MODE_OWNER_ONLY = 0600;
constexpr uint64_t FLAGS_IO = 0x40101;   // IORESOURCE_IO | IORESOURCE_SIZEALIGN | 1
constexpr uint64_t FLAGS_MEM = 0x40200;  // IORESOURCE_MEM | IORESOURCE_SIZEALIGN
constexpr uint32_t SIM_CLASS = 0x068000;   // bridge, other; no programming interface
constexpr uint8_t SIM_REVISION = 0x0B;

bool Fail(std::string* error, const std::string& message)
{
    if (error != nullptr)
        *error = message;
    return false;
}

std::string ErrnoText(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

uint64_t PageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

uint32_t Bar3Start(const SimCard& card)
{
    return card.Bar3Address + card.Bar3PageOffset;
}

uint64_t Bar3FileSize(const SimCard& card)
{
    const uint64_t page = PageSize();
    return (uint64_t{card.Bar3PageOffset} + card.Bar3Size + page - 1) / page * page;
}

int EnableCount(const SimCard& card)
{
    return card.Enable >= 0 ? card.Enable : card.Decoding ? 1 : 0;
}

uint64_t IoResourceStart(const SimCard& card)
{
    return card.IoResourceStart != 0 ? card.IoResourceStart : card.IoBase;
}

bool IsPowerOfTwo(uint64_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

bool CheckCard(const SimCard& card, std::string* error)
{
    const std::string name = SimDeviceName(card);
    if (card.Slot > 0x1F || card.Function > 7)
        return Fail(error, name + ": slot must be 0..0x1f and function 0..7");
    if (card.IoBase % IO_BAR_SIZE != 0 || card.IoBase > 0xFFFFFFFFu - (IO_BAR_SIZE - 1))
        return Fail(error, name + ": io " + Hex(card.IoBase) + " is not a 256-aligned 32-bit I/O base");
    if (IoResourceStart(card) > UINT64_MAX - (IO_BAR_SIZE - 1))
        return Fail(error, name + ": iostart too large");
    if (card.Bar3Size == 0)
        return true;
    const uint64_t page = PageSize();
    if (!IsPowerOfTwo(card.Bar3Size) || card.Bar3Size < 16)
        return Fail(error, name + ": bar3size must be 0 or a power of two >= 16");
    if (card.Bar3Address % page != 0)
        return Fail(error, name + ": bar3addr must be page-aligned");
    if (card.Bar3PageOffset >= page)
        return Fail(error, name + ": bar3offset must be within the page");
    const uint64_t start = uint64_t{card.Bar3Address} + card.Bar3PageOffset;
    if (start % card.Bar3Size != 0)
        return Fail(error, name + ": BAR 3 must start at a multiple of its size");
    if (start + card.Bar3Size - 1 > 0xFFFFFFFFu)
        return Fail(error, name + ": BAR 3 must lie below 4 GiB");
    return true;
}

void Put16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void Put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::string ConfigSpace(const SimCard& card)
{
    unsigned char c[CONFIG_SIZE] = {};
    Put16(c + 0x00, card.VendorId);
    Put16(c + 0x02, card.DeviceId);
    Put16(c + 0x04, card.Decoding ? 0x0003 : 0x0000);  // command: I/O and memory space
    Put16(c + 0x06, 0x0280);                            // status: fast back-to-back, medium DEVSEL
    c[0x08] = SIM_REVISION;
    c[0x0A] = static_cast<unsigned char>(SIM_CLASS >> 8);  // class: bridge, other
    c[0x0B] = static_cast<unsigned char>(SIM_CLASS >> 16);
    Put32(c + 0x10, 0x00000000);  // BAR 0: memory, no size
    Put32(c + 0x14, card.IoBase | 1);
    Put32(c + 0x1C, card.Bar3Size != 0 ? Bar3Start(card) : 0);
    Put16(c + 0x2C, card.SubVendorId);
    Put16(c + 0x2E, card.SubDeviceId);
    c[0x3D] = 0x01;  // interrupt pin A
    return std::string(reinterpret_cast<const char*>(c), sizeof c);
}

std::string ResourceLine(uint64_t start, uint64_t end, uint64_t flags)
{
    char line[64];
    std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n",
                  static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
                  static_cast<unsigned long long>(flags));
    return line;
}

std::string ResourceText(const SimCard& card)
{
    std::string text;
    for (int bar = 0; bar < RESOURCE_LINES; ++bar) {
        if (bar == 0) {
            text += ResourceLine(0, 0, FLAGS_MEM);  // a memory BAR of no size
        } else if (bar == 1) {
            const uint64_t start = IoResourceStart(card);
            text += ResourceLine(start, start + IO_BAR_SIZE - 1, FLAGS_IO);
        } else if (bar == 3 && card.Bar3Size != 0) {
            text += ResourceLine(Bar3Start(card), uint64_t{Bar3Start(card)} + card.Bar3Size - 1,
                                 FLAGS_MEM);
        } else {
            text += ResourceLine(0, 0, 0);
        }
    }
    return text;
}

std::string IdText(uint16_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x\n", id);
    return text;
}

// `class` and `revision` as the kernel prints them ("0x%06x", "0x%02x"),
// the files lspci reads besides the IDs.
std::string ClassText()
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%06x\n", static_cast<unsigned>(SIM_CLASS));
    return text;
}

std::string RevisionText()
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x\n", static_cast<unsigned>(SIM_REVISION));
    return text;
}

// Creates path (which must not exist) holding data, then grown to size
// bytes if size is larger.
bool WriteNewFile(const std::string& path, const std::string& data, uint64_t size, mode_t mode,
                  std::string* error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return Fail(error, ErrnoText("cannot create", path));
    bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    if (ok && size > data.size())
        ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    // The umask must not make a file more private than the kernel's.
    if (ok && fchmod(fd, mode) != 0)
        ok = false;
    if (close(fd) != 0)
        ok = false;
    return ok ? true : Fail(error, ErrnoText("cannot write", path));
}

bool MakeFolders(const std::string& path, std::string* error)
{
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        return Fail(error, "cannot create " + path + ": " + ec.message());
    return true;
}

// A link at path to target, relative as the kernel's are.
bool LinkTo(const std::string& target, const std::string& path, std::string* error)
{
    std::error_code ec;
    const fs::path relative = fs::relative(target, fs::path(path).parent_path(), ec);
    if (ec || symlink(relative.c_str(), path.c_str()) != 0)
        return Fail(error, ErrnoText("cannot link", path));
    return true;
}

// The card's group and driver, each a folder of its own linked both ways
// where the kernel links them.
bool MakeLinks(const std::string& root, const SimCard& card, const std::string& folder,
               std::string* error)
{
    if (card.Group >= 0) {
        const std::string group = root + "/kernel/iommu_groups/" + std::to_string(card.Group);
        if (!MakeFolders(group + "/devices", error) ||
            !LinkTo(folder, group + "/devices/" + SimDeviceName(card), error) ||
            !LinkTo(group, folder + "/iommu_group", error))
            return false;
    }
    if (card.Driver.empty())
        return true;
    const std::string driver = root + "/bus/pci/drivers/" + card.Driver;
    return MakeFolders(driver, error) && LinkTo(driver, folder + "/driver", error);
}

bool MakeCard(const std::string& root, const SimCard& card, std::string* error)
{
    const std::string name = SimDeviceName(card);
    const std::string devices = root + "/bus/pci/devices";
    const std::string entry = devices + "/" + name;
    if (!MakeFolders(devices, error))
        return false;
    struct stat st;
    if (lstat(entry.c_str(), &st) == 0)
        return Fail(error, entry + " already exists");

    std::string folder = entry;
    if (card.Symlink) {
        char host[32];
        std::snprintf(host, sizeof host, "pci%04x:%02x", static_cast<unsigned>(card.Domain),
                      static_cast<unsigned>(card.Bus));
        const std::string parent = root + "/devices/" + host;
        if (!MakeFolders(parent, error))
            return false;
        folder = parent + "/" + name;
        if (mkdir(folder.c_str(), 0755) != 0)
            return Fail(error, ErrnoText("cannot create", folder));
        const std::string target = std::string("../../../devices/") + host + "/" + name;
        if (symlink(target.c_str(), entry.c_str()) != 0)
            return Fail(error, ErrnoText("cannot link", entry));
    } else if (mkdir(folder.c_str(), 0755) != 0) {
        return Fail(error, ErrnoText("cannot create", folder));
    }

    if (!MakeLinks(root, card, folder, error))
        return false;
    const std::string d = folder + "/";
    unsigned char block[IO_BAR_SIZE] = {};
    Put32(block + SIM_CONTROL_OFFSET, card.Control);
    return WriteNewFile(d + "vendor", IdText(card.VendorId), 0, MODE_READABLE, error) &&
           WriteNewFile(d + "device", IdText(card.DeviceId), 0, MODE_READABLE, error) &&
           WriteNewFile(d + "subsystem_vendor", IdText(card.SubVendorId), 0, MODE_READABLE,
                        error) &&
           WriteNewFile(d + "subsystem_device", IdText(card.SubDeviceId), 0, MODE_READABLE,
                        error) &&
           WriteNewFile(d + "class", ClassText(), 0, MODE_READABLE, error) &&
           WriteNewFile(d + "revision", RevisionText(), 0, MODE_READABLE, error) &&
           WriteNewFile(d + "config", ConfigSpace(card), 0, MODE_READABLE, error) &&
           WriteNewFile(d + "resource", ResourceText(card), 0, MODE_READABLE, error) &&
           WriteNewFile(d + "resource1",
                        std::string(reinterpret_cast<const char*>(block), sizeof block), 0,
                        MODE_OWNER_ONLY, error) &&
           (card.Bar3Size == 0 ||
            WriteNewFile(d + "resource3", "", Bar3FileSize(card), MODE_OWNER_ONLY, error)) &&
           WriteNewFile(d + "enable", std::to_string(EnableCount(card)) + "\n", 0, MODE_READABLE,
                        error);
}

// Where a bus has no lockdown file yet: none, as the kernel shows it.
bool MakeLockdown(const std::string& root, std::string* error)
{
    const std::string folder = root + "/kernel/security", path = folder + "/lockdown";
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)
        return true;
    return MakeFolders(folder, error) &&
           WriteNewFile(path, "[none] integrity confidentiality\n", 0, MODE_READABLE, error);
}

bool ControlFile(const std::string& root, const SimCard& card, int flags, int* fd,
                 std::string* error)
{
    const std::string path = SimDevicePath(root, card) + "/resource1";
    *fd = open(path.c_str(), flags | O_CLOEXEC);
    return *fd >= 0 ? true : Fail(error, ErrnoText("cannot open", path));
}

// Strict numbers: 0x followed by hex digits, or decimal digits; no sign,
// no spaces, at most max.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::size_t first = hex ? 2 : 0;
    const uint64_t base = hex ? 16 : 10;
    if (text.size() <= first)
        return false;
    uint64_t v = 0;
    for (std::size_t i = first; i < text.size(); ++i) {
        const char c = text[i];
        uint64_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint64_t>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<uint64_t>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<uint64_t>(c - 'A' + 10);
        else
            return false;
        if (v > (max - digit) / base)
            return false;
        v = v * base + digit;
    }
    *value = v;
    return true;
}

}  // namespace

std::string SimDeviceName(const SimCard& card)
{
    return PciAddressText(PciAddress{card.Domain, card.Bus, card.Slot, card.Function});
}

std::string SimDevicePath(const std::string& root, const SimCard& card)
{
    return root + "/bus/pci/devices/" + SimDeviceName(card);
}

bool CheckSimCards(const std::vector<SimCard>& cards, std::string* error)
{
    std::set<std::tuple<uint32_t, uint8_t, uint8_t, uint8_t>> seen;
    for (const SimCard& card : cards) {
        if (!CheckCard(card, error))
            return false;
        if (!seen.insert(std::make_tuple(card.Domain, card.Bus, card.Slot, card.Function)).second)
            return Fail(error, SimDeviceName(card) + ": two cards at one address");
    }
    return true;
}

bool MakeSimBus(const std::string& root, const std::vector<SimCard>& cards, std::string* error)
{
    if (root.empty())
        return Fail(error, "no root folder given");
    if (!CheckSimCards(cards, error))
        return false;
    if (!MakeFolders(root + "/bus/pci/devices", error) || !MakeLockdown(root, error))
        return false;
    for (const SimCard& card : cards) {
        if (!MakeCard(root, card, error))
            return false;
    }
    return true;
}

bool MakeSimDevices(const std::string& devRoot, const std::vector<SimCard>& cards,
                    std::string* error)
{
    const std::string folder = devRoot + "/vfio";
    struct stat st;
    if (!MakeFolders(folder, error) ||
        (lstat((folder + "/vfio").c_str(), &st) != 0 &&
         !WriteNewFile(folder + "/vfio", "", 0, 0666, error)))
        return false;
    for (const SimCard& card : cards) {
        const std::string group = folder + "/" + std::to_string(card.Group);
        if (card.Group >= 0 && lstat(group.c_str(), &st) != 0 &&
            !WriteNewFile(group, "", 0, MODE_OWNER_ONLY, error))
            return false;
    }
    return true;
}

bool ReadSimControl(const std::string& root, const SimCard& card, uint32_t* value,
                    std::string* error)
{
    int fd;
    if (!ControlFile(root, card, O_RDONLY, &fd, error))
        return false;
    unsigned char bytes[4];
    const bool ok = pread(fd, bytes, sizeof bytes, SIM_CONTROL_OFFSET) == sizeof bytes;
    close(fd);
    if (!ok)
        return Fail(error, "cannot read the control register of " + SimDeviceName(card));
    *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

uint32_t ReadSimControl(const std::string& root, const SimCard& card)
{
    uint32_t value = 0;
    return ReadSimControl(root, card, &value, nullptr) ? value : 0xFFFFFFFF;
}

bool WriteSimControl(const std::string& root, const SimCard& card, uint32_t value,
                     std::string* error)
{
    int fd;
    if (!ControlFile(root, card, O_WRONLY, &fd, error))
        return false;
    unsigned char bytes[4];
    Put32(bytes, value);
    const bool ok = pwrite(fd, bytes, sizeof bytes, SIM_CONTROL_OFFSET) == sizeof bytes;
    if (close(fd) != 0 || !ok)
        return Fail(error, "cannot write the control register of " + SimDeviceName(card));
    return true;
}

bool ParseSimAddress(const std::string& text, SimCard* card, std::string* error)
{
    PciAddress address;
    if (!ParseKernelName(text.c_str(), &address))
        return Fail(error, "bad address '" + text + "' (want DDDD:BB:SS.F, lowercase hex, slot <= 1f, function <= 7)");
    card->Domain = address.Domain;
    card->Bus = address.Bus;
    card->Slot = address.Slot;
    card->Function = address.Function;
    return true;
}

bool ParseSimCard(const std::string& text, SimCard* card, std::string* error)
{
    SimCard result;
    std::set<std::string> seen;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0)
            return Fail(error, "bad card item '" + item + "' (want key=value)");
        const std::string key = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        if (!seen.insert(key).second)
            return Fail(error, "card item '" + key + "' given twice");

        uint64_t number = 0;
        auto NumberWithin = [&](uint64_t max) {
            if (ParseNumber(value, max, &number))
                return true;
            char limit[32];
            std::snprintf(limit, sizeof limit, "0x%llx", static_cast<unsigned long long>(max));
            return Fail(error, "bad value '" + value + "' for " + key +
                                   " (want 0x-hex or decimal, at most " + limit + ")");
        };
        if (key == "addr") {
            if (!ParseSimAddress(value, &result, error))
                return false;
        } else if (key == "vendor" || key == "device" || key == "subvendor" || key == "subsys") {
            if (!NumberWithin(0xFFFF))
                return false;
            uint16_t& field = key == "vendor"      ? result.VendorId
                              : key == "device"    ? result.DeviceId
                              : key == "subvendor" ? result.SubVendorId
                                                   : result.SubDeviceId;
            field = static_cast<uint16_t>(number);
        } else if (key == "io" || key == "control" || key == "bar3addr" || key == "bar3size" ||
                   key == "bar3offset") {
            if (!NumberWithin(0xFFFFFFFF))
                return false;
            uint32_t& field = key == "io"         ? result.IoBase
                              : key == "control"  ? result.Control
                              : key == "bar3addr" ? result.Bar3Address
                              : key == "bar3size" ? result.Bar3Size
                                                  : result.Bar3PageOffset;
            field = static_cast<uint32_t>(number);
        } else if (key == "enable") {
            if (!NumberWithin(INT32_MAX))
                return false;
            result.Enable = static_cast<int>(number);
        } else if (key == "iostart") {
            if (!NumberWithin(UINT64_MAX))
                return false;
            result.IoResourceStart = number;
        } else if (key == "group") {
            if (!NumberWithin(INT32_MAX))
                return false;
            result.Group = static_cast<int>(number);
        } else if (key == "driver") {
            if (value.empty() || value.find('/') != std::string::npos || value == "." || value == "..")
                return Fail(error, "bad driver name '" + value + "'");
            result.Driver = value;
        } else if (key == "decode" || key == "symlink") {
            if (value != "0" && value != "1")
                return Fail(error, "bad value '" + value + "' for " + key + " (want 0 or 1)");
            (key == "decode" ? result.Decoding : result.Symlink) = value == "1";
        } else {
            return Fail(error, "unknown card item '" + key + "'");
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    *card = result;
    return true;
}
