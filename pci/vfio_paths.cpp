// Where the VFIO method finds its files: the device files under /dev/vfio,
// the card's IOMMU group, and the holders' sockets.
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "pci/run_folder.h"
#include "pci/vfio.h"

namespace vfio {

namespace {

std::string FromEnvironment(const char* name, const char* usual)
{
    const char* value = secure_getenv(name);
    return value != nullptr && value[0] != '\0' ? value : usual;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The group's number, the name of the folder the link leads to. The link is
// resolved whole rather than read, so that a link to the link (as a test
// lays out beside the real one) leads to the group as well.
int GroupNumber(const std::string& folder)
{
    char target[PATH_MAX];
    if (realpath((folder + "/iommu_group").c_str(), target) == nullptr)
        return -1;
    const char* name = std::strrchr(target, '/');
    name = name != nullptr ? name + 1 : target;
    char* end = nullptr;
    const long number = std::strtol(name, &end, 10);
    return end != name && *end == '\0' && number >= 0 && number <= INT_MAX
               ? static_cast<int>(number)
               : -1;
}

}  // namespace

std::string DevRoot()
{
    return FromEnvironment("VELDRAN_DEV_ROOT", "/dev");
}

std::string ContainerPath()
{
    return DevRoot() + "/vfio/vfio";
}

// A kernel in no-IOMMU mode names the group's device noiommu-N.
bool FindGroup(const std::string& folder, GroupFiles* group)
{
    group->Number = GroupNumber(folder);
    if (group->Number < 0)
        return false;
    const std::string number = std::to_string(group->Number);
    const std::string unsafe = DevRoot() + "/vfio/noiommu-" + number;
    group->NoIommu = !Exists(DevRoot() + "/vfio/" + number) && Exists(unsafe);
    group->Path = group->NoIommu ? unsafe : DevRoot() + "/vfio/" + number;
    group->Shown = std::string("/dev/vfio/") + (group->NoIommu ? "noiommu-" : "") + number;
    return true;
}

std::string HoldFolder()
{
    return RunFolder("hold");
}

std::string HoldSocket(const PciAddress& address)
{
    return HoldFolder() + "/" + PciAddressText(address);
}

}  // namespace vfio
