// The sysfs method: the card driven through the kernel's files of the
// device, resourceN for its BARs, config and enable.
#include "pci/host.h"

namespace sysfs {

namespace {

PlxStatus Open(const Found&, PlxPlatformDevice* device)
{
    return Claim(device);
}

PlxStatus Close(PlxPlatformDevice* device)
{
    const PlxStatus status = UnmapAll(device);
    ClosePortFiles(device);
    CloseFile(&device->Sysfs.LockFile);
    return status;
}

PlxStatus ReadDeviceConfig(PlxPlatformDevice* device, uint32_t offset, std::size_t width,
                           uint32_t* value)
{
    return ReadConfig(device->Path, offset, width, value);
}

// The mapping of resourceN takes every store itself.
PlxStatus WindowStore(PlxPlatformDevice*, void*, PlxWindowStore* store, void** context)
{
    *store = nullptr;
    *context = nullptr;
    return PLX_STATUS_OK;
}

// The card keeps what it was loaded with after the files are closed.
PlxStatus Hold(PlxPlatformDevice*)
{
    return PLX_STATUS_OK;
}

PlxStatus Release(const Found&, int*)
{
    return PLX_ERR_NOT_HELD;
}

PlxStatus Peek(const Found& found, unsigned bar, uint32_t offset, uint32_t* value)
{
    return PeekIoBar(found.Path, bar, offset, value);
}

}  // namespace

}  // namespace sysfs

const AccessMethod SYSFS_METHOD = {
    "sysfs",           sysfs::Open,        sysfs::Close,        sysfs::ReadDeviceConfig,
    sysfs::AccessPort, sysfs::MapBar,      sysfs::UnmapWindow,  sysfs::WindowStore,
    sysfs::Hold,       sysfs::Release,     sysfs::CheckAccess,  sysfs::Peek,
};
