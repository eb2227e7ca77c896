// Memory BARs mapped into the process through their resourceN files.
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>
#include <vector>

#include "pci/host.h"

namespace sysfs {

namespace {

PlxStatus UnmapBar(PlxPlatformDevice* device, unsigned bar)
{
    const int result = munmap(device->Sysfs.MapBase[bar], device->Sysfs.MapLength[bar]);
    device->Sysfs.MapBase[bar] = nullptr;
    device->Sysfs.MapLength[bar] = 0;
    device->Sysfs.MapOffset[bar] = 0;
    return result == 0 ? PLX_STATUS_OK : PLX_ERR_MAP;
}

void* WindowOf(const PlxPlatformDevice* device, unsigned bar)
{
    return static_cast<unsigned char*>(device->Sysfs.MapBase[bar]) + device->Sysfs.MapOffset[bar];
}

}  // namespace

PlxStatus MapBar(PlxPlatformDevice* device, unsigned bar, void** address)
{
    if (device->Sysfs.MapBase[bar] != nullptr)
        return PLX_ERR_ALREADY_MAPPED;
    const std::string folder = device->Path;
    const Resource& r = device->Resources[bar];
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
    device->Sysfs.MapBase[bar] = base;
    device->Sysfs.MapLength[bar] = static_cast<std::size_t>(mapLength);
    device->Sysfs.MapOffset[bar] = static_cast<std::size_t>(inPage);
    *address = static_cast<unsigned char*>(base) + inPage;
    return PLX_STATUS_OK;
}

PlxStatus UnmapWindow(PlxPlatformDevice* device, void** address)
{
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if (device->Sysfs.MapBase[bar] != nullptr && WindowOf(device, bar) == *address) {
            const PlxStatus status = UnmapBar(device, bar);
            *address = nullptr;
            return status;
        }
    }
    return PLX_ERR_NOT_MAPPED;
}

PlxStatus UnmapAll(PlxPlatformDevice* device)
{
    PlxStatus status = PLX_STATUS_OK;
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if (device->Sysfs.MapBase[bar] != nullptr && UnmapBar(device, bar) != PLX_STATUS_OK)
            status = PLX_ERR_MAP;
    }
    return status;
}

}  // namespace sysfs
