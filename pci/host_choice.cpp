// Which access method a run takes for a device.
#include "pci/host.h"

const AccessMethod& ChooseMethod(const sysfs::Found& found)
{
    if (sysfs::BoundDriver(found.Path) == "vfio-pci")
        return VFIO_METHOD;
    std::string mode;
    return sysfs::ReadLockdown(&mode) == sysfs::LockdownState::On ? VFIO_METHOD : SYSFS_METHOD;
}
