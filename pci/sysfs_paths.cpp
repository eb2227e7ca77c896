// Where the backend finds the kernel's PCI files.
#include <cstdlib>

#include "pci/host.h"

namespace sysfs {

std::string SysfsRoot()
{
    const char* root = secure_getenv("VELDRAN_SYSFS_ROOT");
    return (root != nullptr && root[0] != '\0') ? std::string(root) : std::string("/sys");
}

std::string DevicesFolder()
{
    return SysfsRoot() + "/bus/pci/devices";
}

std::string DeviceName(const DeviceKey& key)
{
    return PciAddressText(PciAddress{key.Domain, key.Bus, key.Slot, key.Function});
}

std::string DeviceFolder(const DeviceKey& key)
{
    return DevicesFolder() + "/" + DeviceName(key);
}

std::string ResourceFile(const std::string& folder, unsigned bar)
{
    return folder + "/resource" + std::to_string(bar);
}

}  // namespace sysfs
