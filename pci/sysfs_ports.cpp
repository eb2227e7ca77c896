// I/O port access: a port is an offset into the file of the I/O BAR that
// holds it, reached with pread and pwrite of the access's own width.
#include <vector>

#include "pci/host.h"

namespace sysfs {

namespace {

// Reads the I/O BARs once: those `resource` lists as I/O, at the bus
// address configuration space gives them.
PlxStatus LoadIoBars(PlxPlatformDevice* device)
{
    IoBars& ports = device->Sysfs.Ports;
    const std::vector<Resource>& resources = device->Resources;
    for (unsigned i = 0; i < static_cast<unsigned>(PLX_BAR_COUNT); ++i) {
        ports.Base[i] = 0;
        ports.Length[i] = 0;
        const uint64_t length = ResourceLength(resources[i]);
        if ((resources[i].Flags & RESOURCE_IO) == 0 || length == 0)
            continue;
        uint32_t value = 0;
        const PlxStatus status = ReadConfig(device->Path, BarRegister(i), 4, &value);
        if (status != PLX_STATUS_OK)
            return status;
        if (IoBarBase(value, &ports.Base[i]))  // else configuration space disagrees
            ports.Length[i] = length;
    }
    ports.Known = true;
    return PLX_STATUS_OK;
}

}  // namespace

PlxStatus AccessPort(PlxPlatformDevice* device, uint64_t port, void* value, uint32_t size,
                     bool write)
{
    if (!device->Sysfs.Ports.Known) {
        const PlxStatus status = LoadIoBars(device);
        if (status != PLX_STATUS_OK)
            return status;
    }
    unsigned bar = 0;
    uint64_t offset = 0;
    const PlxStatus status = FindIoBar(device->Sysfs.Ports, port, size, &bar, &offset);
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
