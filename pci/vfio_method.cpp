// The VFIO method: the card driven through /dev/vfio once it is bound to
// vfio-pci, as the kernel allows even under lockdown.
#include "pci/host.h"

namespace {

PlxStatus Refuse(const sysfs::Found&, PlxPlatformDevice*)
{
    return PLX_ERR_LOCKED_DOWN;
}

PlxStatus NotOpen(PlxPlatformDevice*)
{
    return PLX_ERR_NOT_OPEN;
}

PlxStatus NoConfig(PlxPlatformDevice*, uint32_t, std::size_t, uint32_t*)
{
    return PLX_ERR_NOT_OPEN;
}

PlxStatus NoPort(PlxPlatformDevice*, uint64_t, void*, uint32_t, bool)
{
    return PLX_ERR_NOT_OPEN;
}

PlxStatus NoMap(PlxPlatformDevice*, unsigned, void**)
{
    return PLX_ERR_NOT_OPEN;
}

PlxStatus NoUnmap(PlxPlatformDevice*, void**)
{
    return PLX_ERR_NOT_OPEN;
}

PlxStatus NoStore(PlxPlatformDevice*, void*, PlxWindowStore*, void**)
{
    return PLX_ERR_NOT_OPEN;
}

PlxStatus NotHeld(const sysfs::Found&, int*)
{
    return PLX_ERR_NOT_HELD;
}

void CheckAccess(const sysfs::Found&, PlxAccess* access)
{
    std::string mode;
    sysfs::ReadLockdown(&mode);
    sysfs::AddReason(access, true,
                     "kernel lockdown is on (" + mode +
                         "): the kernel lets no program reach the card, root included",
                     "only booting without it helps (Secure Boot off, no lockdown= boot option)");
}

PlxStatus NoPeek(const sysfs::Found&, unsigned, uint32_t, uint32_t*)
{
    return PLX_ERR_NOT_OPEN;
}

}  // namespace

const AccessMethod VFIO_METHOD = {
    "vfio", Refuse, NotOpen, NoConfig, NoPort, NoMap, NoUnmap, NoStore, NotOpen, NotHeld, CheckAccess, NoPeek,
};
