// A card's config space, registers and data window through VFIO: each is a
// region of the device's file. Config space and the I/O BAR are read and
// written with pread and pwrite; a memory BAR is mapped where the kernel
// allows it, else its bytes are written to its region one by one.
#include <linux/vfio.h>
#include <sys/mman.h>

#include <cerrno>

#include "pci/vfio.h"

namespace vfio {

namespace {

// Each BAR that config space says is I/O, with its region's size.
PlxStatus LoadIoBars(PlxPlatformDevice* device)
{
    VfioDevice* v = device->Vfio;
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        v->Ports.Base[bar] = 0;
        v->Ports.Length[bar] = 0;
        if (v->Regions[bar].Size == 0)
            continue;
        uint32_t value = 0;
        const PlxStatus status = ReadConfig(device, sysfs::BarRegister(bar), 4, &value);
        if (status != PLX_STATUS_OK)
            return status;
        if (sysfs::IoBarBase(value, &v->Ports.Base[bar]))
            v->Ports.Length[bar] = v->Regions[bar].Size;
    }
    v->Ports.Known = true;
    return PLX_STATUS_OK;
}

void StoreByRegionWrite(void* context, uint8_t byte)
{
    StoredWindow* w = static_cast<StoredWindow*>(context);
    if (sysfs::PwriteExact(w->Device, &byte, 1, w->Offset))
        return;
    // The byte did not reach the card: the window is as good as lost, and
    // the store below faults as one into a lost mapping does.
    (void)!ftruncate(w->Page, 0);
    *w->Window = byte;
}

std::size_t PageLength(uint64_t size)
{
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return static_cast<std::size_t>((size + page - 1) / page * page);
}

// The stand-in page: a memory file of one page, mapped shared, so that it
// can be cut away.
PlxStatus MapStandIn(VfioDevice* v, unsigned bar)
{
    StoredWindow& w = v->Stored[bar];
    w.Page = memfd_create("veldran-window", MFD_CLOEXEC);
    const std::size_t length = PageLength(1);
    if (w.Page < 0 || ftruncate(w.Page, static_cast<off_t>(length)) != 0) {
        sysfs::CloseFile(&w.Page);
        return PLX_ERR_MAP;
    }
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, w.Page, 0);
    if (base == MAP_FAILED) {
        sysfs::CloseFile(&w.Page);
        return PLX_ERR_MAP;
    }
    w.Device = v->Device;
    w.Offset = v->Regions[bar].Offset;
    w.Window = static_cast<volatile uint8_t*>(base);
    v->MapBase[bar] = base;
    v->MapLength[bar] = length;
    return PLX_STATUS_OK;
}

void Unmap(VfioDevice* v, unsigned bar)
{
    munmap(v->MapBase[bar], v->MapLength[bar]);
    sysfs::CloseFile(&v->Stored[bar].Page);
    v->Stored[bar] = StoredWindow{};
    v->MapBase[bar] = nullptr;
    v->MapLength[bar] = 0;
}

}  // namespace

PlxStatus ReadConfig(PlxPlatformDevice* device, uint32_t offset, std::size_t width,
                     uint32_t* value)
{
    const Region& config = device->Vfio->Regions[CONFIG_REGION];
    const PlxStatus status = sysfs::CheckConfigRange(config.Size, offset, width);
    if (status != PLX_STATUS_OK)
        return status;
    unsigned char bytes[4] = {};
    if (!sysfs::PreadExact(device->Vfio->Device, bytes, width, config.Offset + offset))
        return PLX_ERR_FILE;
    *value = sysfs::ConfigValue(bytes, width);
    return PLX_STATUS_OK;
}

PlxStatus WriteCommand(VfioDevice* v, uint16_t command)
{
    const unsigned char bytes[2] = {static_cast<unsigned char>(command),
                                    static_cast<unsigned char>(command >> 8)};
    return sysfs::PwriteExact(v->Device, bytes, 2,
                              v->Regions[CONFIG_REGION].Offset + sysfs::COMMAND_OFFSET)
               ? PLX_STATUS_OK
               : PLX_ERR_FILE;
}

PlxStatus AccessPort(PlxPlatformDevice* device, uint64_t port, void* value, uint32_t size,
                     bool write)
{
    VfioDevice* v = device->Vfio;
    if (!v->Ports.Known) {
        const PlxStatus status = LoadIoBars(device);
        if (status != PLX_STATUS_OK)
            return status;
    }
    unsigned bar = 0;
    uint64_t offset = 0;
    const PlxStatus status = sysfs::FindIoBar(v->Ports, port, size, &bar, &offset);
    if (status != PLX_STATUS_OK)
        return status;
    const uint64_t at = v->Regions[bar].Offset + offset;
    const bool done = write ? sysfs::PwriteExact(v->Device, value, size, at)
                            : sysfs::PreadExact(v->Device, value, size, at);
    return done ? PLX_STATUS_OK : PLX_ERR_FILE;
}

// Never a write-combining mapping: vfio-pci maps BARs uncached, and every
// store must reach the card on its own.
PlxStatus MapBar(PlxPlatformDevice* device, unsigned bar, void** address)
{
    VfioDevice* v = device->Vfio;
    if (v->MapBase[bar] != nullptr)
        return PLX_ERR_ALREADY_MAPPED;
    const Region& region = v->Regions[bar];
    if (region.Size == 0 || (device->Resources[bar].Flags & sysfs::RESOURCE_MEM) == 0)
        return PLX_ERR_BAR_TYPE;
    if ((region.Flags & VFIO_REGION_INFO_FLAG_MMAP) == 0) {
        const PlxStatus status = MapStandIn(v, bar);
        if (status == PLX_STATUS_OK)
            *address = v->MapBase[bar];
        return status;
    }
    const std::size_t length = PageLength(region.Size);
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, v->Device,
                      static_cast<off_t>(region.Offset));
    if (base == MAP_FAILED)
        return PLX_ERR_MAP;
    v->MapBase[bar] = base;
    v->MapLength[bar] = length;
    *address = base;
    return PLX_STATUS_OK;
}

PlxStatus UnmapBar(PlxPlatformDevice* device, void** address)
{
    VfioDevice* v = device->Vfio;
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if (v->MapBase[bar] != nullptr && v->MapBase[bar] == *address) {
            Unmap(v, bar);
            *address = nullptr;
            return PLX_STATUS_OK;
        }
    }
    return PLX_ERR_NOT_MAPPED;
}

void UnmapAll(VfioDevice* v)
{
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar)
        if (v->MapBase[bar] != nullptr)
            Unmap(v, bar);
}

PlxStatus WindowStore(PlxPlatformDevice* device, void* window, PlxWindowStore* store,
                      void** context)
{
    VfioDevice* v = device->Vfio;
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if (v->MapBase[bar] == nullptr || v->MapBase[bar] != window)
            continue;
        const bool stored = v->Stored[bar].Page >= 0;
        *store = stored ? StoreByRegionWrite : nullptr;
        *context = stored ? &v->Stored[bar] : nullptr;
        return PLX_STATUS_OK;
    }
    return PLX_ERR_NOT_MAPPED;
}

}  // namespace vfio
