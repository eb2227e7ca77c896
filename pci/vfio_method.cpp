// The VFIO method: the card driven through /dev/vfio once it is bound to
// vfio-pci, as the kernel allows even under lockdown, and kept open by a
// holder after a run that loaded it (pci/vfio.h).
#include "pci/vfio.h"

namespace vfio {

namespace {

PlxStatus Release(const sysfs::Found& found, int* holder)
{
    long pid = 0;
    const PlxStatus status = ReleaseHolder(HoldSocket(found.Address), &pid);
    *holder = static_cast<int>(pid);
    return status;
}

// The card's registers are the holder's to read: an open of the device by
// anyone else would reset the card, and fails while the holder keeps it.
PlxStatus Peek(const sysfs::Found& found, unsigned bar, uint32_t offset, uint32_t* value)
{
    std::vector<sysfs::Resource> resources;
    const PlxStatus status = sysfs::ReadResources(found.Path, &resources);
    if (status != PLX_STATUS_OK)
        return status;
    if ((resources[bar].Flags & sysfs::RESOURCE_IO) == 0)
        return PLX_ERR_PORT_RANGE;
    return PeekHolder(HoldSocket(found.Address), bar, offset, value);
}

}  // namespace

}  // namespace vfio

const AccessMethod VFIO_METHOD = {
    "vfio",           vfio::Open,       vfio::Close,       vfio::ReadConfig,
    vfio::AccessPort, vfio::MapBar,     vfio::UnmapBar,    vfio::WindowStore,
    vfio::Hold,       vfio::Release,    vfio::CheckAccess, vfio::Peek,
};
