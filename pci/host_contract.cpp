// The card-access contract (pci/plx_api.h) on Linux. These functions check
// what they are given, find devices through sysfs (pci/sysfs_formats.h
// lists its files), and hand the work on an open device to the access
// method its open chose (pci/host.h).
//
// Failures return one of the codes of pci/plx_status.h; callers
// give them no meaning beyond "failed".
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "pci/host.h"

using namespace sysfs;

namespace {

// No exception may cross the contract: the callers are plain C-style code
// that only looks at the status (std::string and std::vector can throw
// std::bad_alloc).
template <typename Call>
PlxStatus Guarded(Call call)
{
    try {
        return call();
    } catch (...) {
        return PLX_ERR_INTERNAL;
    }
}

// The records of the devices open now. A DeviceObject is a plain struct
// that a caller may copy; a copy that outlives its device's close must
// find its record gone, never reach the freed one, nor a later device's
// record that the allocator placed at the same address: each open has a
// generation of its own.
std::vector<const PlxPlatformDevice*>& LiveRecords()
{
    static std::vector<const PlxPlatformDevice*> records;
    return records;
}

bool IsOpenDevice(const DeviceObject* device)
{
    if (device == nullptr || device->IsOpen != 1 || device->Platform == nullptr)
        return false;
    const auto& live = LiveRecords();
    return std::find(live.begin(), live.end(), device->Platform) != live.end() &&
           device->Platform->Generation == device->Generation;
}

uint64_t NextGeneration()
{
    static uint64_t last = 0;
    return ++last;
}

bool WidthMatches(uint32_t size, int accessType)
{
    return (size == 1 && accessType == PLX_ACCESS_8) ||
           (size == 2 && accessType == PLX_ACCESS_16) ||
           (size == 4 && accessType == PLX_ACCESS_32);
}

PlxStatus PortCall(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                   int accessType, bool write)
{
    if (value == nullptr || !WidthMatches(size, accessType))
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    PlxPlatformDevice* platform = device->Platform;
    return Guarded([&] { return platform->Method->AccessPort(platform, port, value, size, write); });
}

// The device the key names: exactly that address after a search, else the
// first match.
PlxStatus FindNamed(const DeviceKey& key, Found* found)
{
    return key.AtAddress == PLX_AT_ADDRESS ? FindAt(key, found) : FindDevice(key, 0, found);
}

// Chooses the device's method and has it take the device.
PlxStatus OpenFound(const Found& found, PlxPlatformDevice* platform)
{
    if (found.Path.size() >= PLX_PATH_MAX)
        return PLX_ERR_PATH_LONG;
    std::memcpy(platform->Path, found.Path.c_str(), found.Path.size() + 1);
    platform->Address = found.Address;
    // Once per run: every later step reads the BARs from here.
    const PlxStatus status = ReadResources(found.Path, &platform->Resources);
    if (status != PLX_STATUS_OK)
        return status;
    platform->Method = &ChooseMethod(found);
    return platform->Method->Open(found, platform);
}

}  // namespace

PlxStatus PlxPci_DeviceFind(DeviceKey* key, uint16_t index)
{
    if (key == nullptr)
        return PLX_ERR_ARGUMENT;
    return Guarded([&] {
        Found found;
        const PlxStatus status = FindDevice(*key, index, &found);
        if (status == PLX_STATUS_OK)
            *key = found.Key;
        return status;
    });
}

PlxStatus PlxPci_DeviceOpen(DeviceKey* key, DeviceObject* device)
{
    if (key == nullptr || device == nullptr)
        return PLX_ERR_ARGUMENT;
    if (device->IsOpen == 1)
        return PLX_ERR_ALREADY_OPEN;
    PlxPlatformDevice* platform = new (std::nothrow) PlxPlatformDevice();
    if (platform == nullptr)
        return PLX_ERR_INTERNAL;
    Found found;
    // Room first, so that once taken the device is noted without fail.
    const PlxStatus status = Guarded([&] {
        LiveRecords().reserve(LiveRecords().size() + 1);
        const PlxStatus named = FindNamed(*key, &found);
        return named == PLX_STATUS_OK ? OpenFound(found, platform) : named;
    });
    if (status != PLX_STATUS_OK) {
        if (platform->Method != nullptr)
            platform->Method->Close(platform);
        delete platform;
        return status;
    }
    platform->Generation = NextGeneration();
    LiveRecords().push_back(platform);
    RememberOpen(platform);
    device->IsOpen = 1;
    device->Key = found.Key;
    device->Platform = platform;
    device->Generation = platform->Generation;
    *key = found.Key;
    return PLX_STATUS_OK;
}

PlxStatus PlxPci_DeviceClose(DeviceObject* device)
{
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    PlxPlatformDevice* platform = device->Platform;
    const PlxStatus status = Guarded([&] { return platform->Method->Close(platform); });
    ForgetOpen(platform);
    auto& live = LiveRecords();
    live.erase(std::find(live.begin(), live.end(), platform));
    delete platform;
    device->Platform = nullptr;
    device->IsOpen = 0;
    return status;
}

uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PlxStatus* status)
{
    uint32_t value = 0;
    const PlxStatus result = Guarded([&] {
        std::string folder;
        PlxStatus found = PLX_ERR_NOT_FOUND;
        PlxPlatformDevice* open = ResolveDevice(bus, slot, function, &folder, &found);
        if (open != nullptr)
            return open->Method->ReadConfig(open, offset, 4, &value);
        return found == PLX_STATUS_OK ? ReadConfig(folder, offset, 4, &value) : found;
    });
    if (status != nullptr)
        *status = result;
    // What a read of nothing gives on PCI, as the vendor's library returns.
    return result == PLX_STATUS_OK ? value : 0xFFFFFFFF;
}

PlxStatus PlxPci_PciBarMap(DeviceObject* device, uint8_t barIndex, void** address)
{
    if (address == nullptr || barIndex >= PLX_BAR_COUNT)
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    PlxPlatformDevice* platform = device->Platform;
    return Guarded([&] { return platform->Method->MapBar(platform, barIndex, address); });
}

PlxStatus PlxPci_PciBarUnmap(DeviceObject* device, void** address)
{
    if (address == nullptr || *address == nullptr)
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    PlxPlatformDevice* platform = device->Platform;
    return Guarded([&] { return platform->Method->UnmapBar(platform, address); });
}

PlxStatus PlxPci_IoPortRead(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                            int accessType)
{
    return PortCall(device, port, value, size, accessType, false);
}

PlxStatus PlxPci_IoPortWrite(DeviceObject* device, uint64_t port, void* value, uint32_t size,
                             int accessType)
{
    return PortCall(device, port, value, size, accessType, true);
}

PlxStatus PlxHost_CheckAccess(const DeviceKey* key, PlxAccess* access)
{
    if (key == nullptr || access == nullptr)
        return PLX_ERR_ARGUMENT;
    *access = PlxAccess{};
    return Guarded([&] {
        Found found;
        const PlxStatus status = FindNamed(*key, &found);
        if (status != PLX_STATUS_OK)
            return status;
        const AccessMethod& method = ChooseMethod(found);
        std::snprintf(access->Method, sizeof access->Method, "%s", method.Name);
        method.CheckAccess(found, access);
        return PLX_STATUS_OK;
    });
}

PlxStatus PlxHost_PeekRegister(const DeviceKey* key, uint8_t bar, uint32_t offset,
                               uint32_t* value)
{
    if (key == nullptr || value == nullptr || bar >= PLX_BAR_COUNT)
        return PLX_ERR_ARGUMENT;
    return Guarded([&] {
        Found found;
        const PlxStatus status = FindNamed(*key, &found);
        return status == PLX_STATUS_OK ? ChooseMethod(found).Peek(found, bar, offset, value)
                                       : status;
    });
}

PlxStatus PlxHost_HoldDevice(DeviceObject* device)
{
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    PlxPlatformDevice* platform = device->Platform;
    return Guarded([&] { return platform->Method->Hold(platform); });
}

PlxStatus PlxHost_ReleaseDevice(const DeviceKey* key, int* holder)
{
    if (key == nullptr || holder == nullptr)
        return PLX_ERR_ARGUMENT;
    *holder = 0;
    return Guarded([&] {
        Found found;
        const PlxStatus status = FindNamed(*key, &found);
        return status == PLX_STATUS_OK ? ChooseMethod(found).Release(found, holder) : status;
    });
}

PlxStatus PlxHost_WindowStore(DeviceObject* device, void* window, PlxWindowStore* store,
                              void** context)
{
    if (window == nullptr || store == nullptr || context == nullptr)
        return PLX_ERR_ARGUMENT;
    if (!IsOpenDevice(device))
        return PLX_ERR_NOT_OPEN;
    PlxPlatformDevice* platform = device->Platform;
    return Guarded([&] { return platform->Method->WindowStore(platform, window, store, context); });
}
