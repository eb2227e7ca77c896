// Where the sysfs card-access files find the PCI devices.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pci/plx_api.h"

// /sys, or the folder VELDRAN_SYSFS_ROOT names (never for set-user-ID,
// set-group-ID or file-capability runs, as secure_getenv decides).
inline std::string SysfsRoot()
{
    const char* root = secure_getenv("VELDRAN_SYSFS_ROOT");
    return (root != nullptr && root[0] != '\0') ? std::string(root) : std::string("/sys");
}

inline std::string DevicesFolder()
{
    return SysfsRoot() + "/bus/pci/devices";
}

// ROOT/bus/pci/devices/DDDD:BB:SS.F for the key's address.
inline std::string DeviceFolder(const DeviceKey& key)
{
    char name[32];
    std::snprintf(name, sizeof name, "/%04x:%02x:%02x.%u", static_cast<unsigned>(key.Domain),
                  static_cast<unsigned>(key.Bus), static_cast<unsigned>(key.Slot),
                  static_cast<unsigned>(key.Function));
    return DevicesFolder() + name;
}
