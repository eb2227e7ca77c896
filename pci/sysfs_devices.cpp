// Finding devices: the entries of ROOT/bus/pci/devices/, named
// DDDD:BB:SS.F, matched against a search key. ROOT is read on every search.
#include <dirent.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <tuple>
#include <vector>

#include "pci/host.h"

namespace sysfs {

namespace {

// A key field wants a value it holds, or any value when it holds all ones.
template <typename Field>
bool KeyWants(Field field, Field value)
{
    return field == std::numeric_limits<Field>::max() || field == value;
}

bool AddressMatches(const DeviceKey& want, const PciAddress& a)
{
    return KeyWants(want.Domain, a.Domain) && KeyWants(want.Bus, a.Bus) &&
           KeyWants(want.Slot, a.Slot) && KeyWants(want.Function, a.Function);
}

bool IdsMatch(const DeviceKey& want, const DeviceKey& have)
{
    return KeyWants(want.VendorId, have.VendorId) && KeyWants(want.DeviceId, have.DeviceId) &&
           KeyWants(want.SubVendorId, have.SubVendorId) &&
           KeyWants(want.SubDeviceId, have.SubDeviceId);
}

// Calls visit(address, path) for every entry named as the kernel names a
// device, in the folder's order; false if there is no devices folder.
template <typename Visit>
bool WalkDevices(Visit visit)
{
    const std::string folder = DevicesFolder();
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (dir == nullptr)
        return false;
    while (const struct dirent* entry = readdir(dir.get())) {
        PciAddress address;
        if (ParseKernelName(entry->d_name, &address))
            visit(address, folder + "/" + entry->d_name);
    }
    return true;
}

// Reads the four IDs of the device at folder into key; false if its vendor
// or device ID is missing or malformed. The subsystem IDs identify the
// board as a pair: if either cannot be read, both read as all ones (no
// known board). The device still matches a search that ignores them, so it
// keeps its place and the cards after it keep their numbers.
bool ReadIds(const std::string& folder, DeviceKey* key)
{
    if (ReadIdFile(folder, "vendor", &key->VendorId) != PLX_STATUS_OK ||
        ReadIdFile(folder, "device", &key->DeviceId) != PLX_STATUS_OK)
        return false;
    if (ReadIdFile(folder, "subsystem_vendor", &key->SubVendorId) != PLX_STATUS_OK ||
        ReadIdFile(folder, "subsystem_device", &key->SubDeviceId) != PLX_STATUS_OK) {
        key->SubVendorId = PLX_IGNORE_16;
        key->SubDeviceId = PLX_IGNORE_16;
    }
    return true;
}

// Reads the device at path into found (found->Address already parsed
// from its name): false, and found of no use, unless it is a device
// folder whose IDs match want.
bool ReadMatchingDevice(const std::string& path, const DeviceKey& want, Found* found)
{
    found->Path = path;
    if (!IsFolderPath(path) || !ReadIds(path, &found->Key) || !IdsMatch(want, found->Key))
        return false;
    found->Key.Domain = found->Address.Domain;
    found->Key.Bus = found->Address.Bus;
    found->Key.Slot = found->Address.Slot;
    found->Key.Function = found->Address.Function;
    found->Key.AtAddress = PLX_AT_ADDRESS;
    return true;
}

bool SameKey(const DeviceKey& a, const DeviceKey& b)
{
    return a.Domain == b.Domain && a.Bus == b.Bus && a.Slot == b.Slot &&
           a.Function == b.Function && a.VendorId == b.VendorId && a.DeviceId == b.DeviceId &&
           a.SubVendorId == b.SubVendorId && a.SubDeviceId == b.SubDeviceId &&
           a.AtAddress == b.AtAddress;
}

// The devices matching want, in domain, bus, slot, function order; false
// if there is no devices folder. Entries that cannot be read or parsed
// are skipped.
bool WalkMatches(const DeviceKey& want, std::vector<Found>* matches)
{
    matches->clear();
    const bool walked = WalkDevices([&](const PciAddress& address, const std::string& path) {
        Found match;
        match.Address = address;
        if (AddressMatches(want, address) && ReadMatchingDevice(path, want, &match))
            matches->push_back(match);
    });
    std::sort(matches->begin(), matches->end(),
              [](const Found& a, const Found& b) { return AddressLess(a.Address, b.Address); });
    return walked;
}

// One look at the bus, that an enumeration goes on counting in.
struct Look {
    bool Valid = false;
    DeviceKey Want{};
    std::string Folder;  // the devices folder it looked at
    uint16_t Index = 0;  // the last index searched in it
    std::vector<Found> Matches;
};

Look& LastLook()
{
    static Look look;
    return look;
}

// The devices open now: the register read finds an open device here.
std::vector<PlxPlatformDevice*>& OpenDevices()
{
    static std::vector<PlxPlatformDevice*> devices;
    return devices;
}

}  // namespace

// Index 0 looks at the bus afresh; the index after the last one searched,
// with the same key and root, counts in the same look. So an enumeration
// from 0 upward counts one bus, however devices come and go meanwhile.
PlxStatus FindDevice(const DeviceKey& want, uint16_t index, Found* found)
{
    Look& look = LastLook();
    const std::string folder = DevicesFolder();
    const bool goOn = look.Valid && index != 0 && index == look.Index + 1 &&
                      SameKey(look.Want, want) && look.Folder == folder;
    if (!goOn) {
        look.Valid = false;
        if (!WalkMatches(want, &look.Matches))
            return PLX_ERR_NOT_FOUND;
        look.Want = want;
        look.Folder = folder;
        look.Valid = true;
    }
    look.Index = index;
    if (index >= look.Matches.size())
        return PLX_ERR_NOT_FOUND;
    *found = look.Matches[index];
    return PLX_STATUS_OK;
}

// Every value of the address is taken as it is, all ones included: a card
// on bus 0xff is on bus 0xff, and one in domain 0xffffffff in that domain.
PlxStatus FindAt(const DeviceKey& want, Found* found)
{
    const std::string name = DeviceName(want);
    if (!ParseKernelName(name.c_str(), &found->Address))
        return PLX_ERR_NOT_FOUND;
    return ReadMatchingDevice(DevicesFolder() + "/" + name, want, found) ? PLX_STATUS_OK
                                                                         : PLX_ERR_NOT_FOUND;
}

void RememberOpen(PlxPlatformDevice* device)
{
    OpenDevices().push_back(device);
}

void ForgetOpen(const PlxPlatformDevice* device)
{
    std::vector<PlxPlatformDevice*>& open = OpenDevices();
    for (auto it = open.begin(); it != open.end(); ++it) {
        if (*it == device) {
            open.erase(it);
            return;
        }
    }
}

PlxPlatformDevice* ResolveDevice(uint8_t bus, uint8_t slot, uint8_t function, std::string* path,
                                 PlxStatus* status)
{
    PlxPlatformDevice* best = nullptr;
    for (PlxPlatformDevice* device : OpenDevices()) {
        const PciAddress& a = device->Address;
        if (a.Bus == bus && a.Slot == slot && a.Function == function &&
            (best == nullptr || a.Domain < best->Address.Domain))
            best = device;
    }
    if (best != nullptr) {
        *status = PLX_STATUS_OK;
        return best;
    }
    bool have = false;
    uint32_t bestDomain = 0;
    const bool walked = WalkDevices([&](const PciAddress& a, const std::string& candidate) {
        if (a.Bus != bus || a.Slot != slot || a.Function != function ||
            (have && a.Domain >= bestDomain) || !IsFolderPath(candidate))
            return;
        have = true;
        bestDomain = a.Domain;
        *path = candidate;
    });
    *status = walked && have ? PLX_STATUS_OK : PLX_ERR_NOT_FOUND;
    return nullptr;
}

}  // namespace sysfs
