// I/O port access: a port is an offset into the file of the I/O BAR that
// holds it, reached with pread and pwrite of the access's own width.
#include <vector>

#include "pci/host.h"

namespace sysfs {

namespace {

constexpr uint16_t BAR0_OFFSET = 0x10;
constexpr uint32_t IO_BAR_FLAG = 0x1;
constexpr uint32_t IO_BAR_MASK = 0xFFFFFFFC;

// Reads the I/O BARs once. A BAR's base is its value in configuration
// space (the bus address), not the `resource` start, which on some
// architectures is a logical port number.
PlxStatus LoadIoBars(PlxPlatformDevice* device)
{
    const std::string folder = device->Path;
    const std::vector<Resource>& resources = device->Resources;
    for (unsigned i = 0; i < static_cast<unsigned>(PLX_BAR_COUNT); ++i) {
        device->Sysfs.PortBase[i] = 0;
        device->Sysfs.PortLength[i] = 0;
        const uint64_t length = ResourceLength(resources[i]);
        if ((resources[i].Flags & RESOURCE_IO) == 0 || length == 0)
            continue;
        uint32_t value = 0;
        const PlxStatus status = ReadConfig(folder, BAR0_OFFSET + 4 * i, 4, &value);
        if (status != PLX_STATUS_OK)
            return status;
        if ((value & IO_BAR_FLAG) == 0)
            continue;  // configuration space disagrees: not an I/O BAR
        device->Sysfs.PortBase[i] = value & IO_BAR_MASK;
        device->Sysfs.PortLength[i] = length;
    }
    device->Sysfs.PortsKnown = 1;
    return PLX_STATUS_OK;
}

// Finds the I/O BAR holding port..port+size-1.
PlxStatus FindIoBar(const PlxPlatformDevice* device, uint64_t port, uint32_t size, unsigned* bar,
                    uint64_t* offset)
{
    for (unsigned i = 0; i < static_cast<unsigned>(PLX_BAR_COUNT); ++i) {
        const uint64_t base = device->Sysfs.PortBase[i];
        const uint64_t length = device->Sysfs.PortLength[i];
        if (length == 0 || port < base || port - base >= length ||
            size > length - (port - base))
            continue;
        *bar = i;
        *offset = port - base;
        return PLX_STATUS_OK;
    }
    return PLX_ERR_PORT_RANGE;
}

}  // namespace

PlxStatus AccessPort(PlxPlatformDevice* device, uint64_t port, void* value, uint32_t size,
                     bool write)
{
    if (!device->Sysfs.PortsKnown) {
        const PlxStatus status = LoadIoBars(device);
        if (status != PLX_STATUS_OK)
            return status;
    }
    unsigned bar = 0;
    uint64_t offset = 0;
    const PlxStatus status = FindIoBar(device, port, size, &bar, &offset);
    if (status != PLX_STATUS_OK)
        return status;
    if (device->Sysfs.PortFile[bar] < 0) {
        device->Sysfs.PortFile[bar] = OpenFile(ResourceFile(device->Path, bar), O_RDWR);
        if (device->Sysfs.PortFile[bar] < 0)
            return PLX_ERR_FILE;
    }
    const bool done = write ? PwriteExact(device->Sysfs.PortFile[bar], value, size, offset)
                            : PreadExact(device->Sysfs.PortFile[bar], value, size, offset);
    return done ? PLX_STATUS_OK : PLX_ERR_FILE;
}

PlxStatus PeekIoBar(const std::string& folder, unsigned bar, uint32_t offset, uint32_t* value)
{
    std::vector<Resource> resources;
    const PlxStatus status = ReadResources(folder, &resources);
    if (status != PLX_STATUS_OK)
        return status;
    const uint64_t length = ResourceLength(resources[bar]);
    if ((resources[bar].Flags & RESOURCE_IO) == 0 || offset % 4 != 0 || length < 4 ||
        offset > length - 4)
        return PLX_ERR_PORT_RANGE;
    Fd fd(OpenFile(ResourceFile(folder, bar), O_RDONLY));
    if (!fd.Ok())
        return PLX_ERR_FILE;
    return PreadExact(fd.Get(), value, 4, offset) ? PLX_STATUS_OK : PLX_ERR_FILE;
}

void ClosePortFiles(PlxPlatformDevice* device)
{
    for (int& fd : device->Sysfs.PortFile)
        CloseFile(&fd);
}

}  // namespace sysfs
