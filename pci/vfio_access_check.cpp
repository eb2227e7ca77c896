// What the VFIO method reports to --list: what keeps this process from
// driving a card through /dev/vfio now, and what to know before a run
// does, found by reading alone. The card's group device is never opened,
// since an open that succeeds resets the card; the files are judged with
// faccessat and the effective IDs, as an open would judge them.
#include <dirent.h>
#include <linux/capability.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "pci/vfio.h"

namespace vfio {

namespace {

const char IOMMU_REMEDY[] =
    "turn the IOMMU on: intel_iommu=on (Intel) or amd_iommu=on (AMD) on the kernel's command "
    "line, with VT-d or AMD-Vi enabled in the firmware's setup";
const char CONTAINER_SHOWN[] = "/dev/vfio/vfio";
constexpr uint32_t HEADER_TYPE_OFFSET = 0x0E;
constexpr std::size_t ENABLE_TEXT_MAX = 16;

std::string SysfsPath(const sysfs::Found& found)
{
    return "/sys/bus/pci/devices/" + PciAddressText(found.Address);
}

// The rule or the commands that bind the card to vfio-pci, another
// driver's unbind first where one holds it.
std::string BindRemedy(const sysfs::Found& found, const std::string& driver)
{
    const std::string address = PciAddressText(found.Address), folder = SysfsPath(found);
    return "the udev rule 61-veldran-vfio.rules binds it as it appears: copy it from "
           "/usr/share/doc/veldran/examples to /etc/udev/rules.d; or bind it now, as root:\n"
           "# modprobe vfio-pci\n"
           "# echo vfio-pci > " + folder + "/driver_override\n" +
           (driver.empty() ? "" : "# echo " + address + " > " + folder + "/driver/unbind\n") +
           "# echo " + address + " > /sys/bus/pci/drivers_probe\n"
           "the first open through VFIO then resets the card once";
}

// A card not bound to vfio-pci has this method only under lockdown, which
// refuses its sysfs files.
void CheckBinding(const sysfs::Found& found, const std::string& driver, bool inGroup,
                  PlxAccess* access)
{
    std::string mode;
    sysfs::ReadLockdown(&mode);
    const std::string lockdown = "kernel lockdown is on (" + mode +
                                 "): the kernel refuses the card's files to every program, "
                                 "root included";
    if (!inGroup)
        sysfs::AddReason(access, true,
                         lockdown + ", and the card is in no IOMMU group, which VFIO, the way "
                                    "around lockdown, needs",
                         std::string(IOMMU_REMEDY) + "; or boot without lockdown (Secure Boot off)");
    else
        sysfs::AddReason(access, true,
                         lockdown + "; a run reaches the card through VFIO once it is bound to "
                                    "vfio-pci" + (driver.empty() ? "" : " (now " + driver + ")"),
                         BindRemedy(found, driver));
}

// 0 where the process may open the file for reading and writing.
int AccessError(const std::string& path)
{
    return faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

void CheckFiles(const GroupFiles& group, PlxAccess* access)
{
    const std::string passIn = "in a container, pass " + std::string(CONTAINER_SHOWN) + " and " +
                               group.Shown + " in (--device)";
    const int container = AccessError(ContainerPath()), own = AccessError(group.Path);
    if (container == ENOENT)
        sysfs::AddReason(access, true, std::string(CONTAINER_SHOWN) + " is missing",
                         "as root, load vfio-pci:\n# modprobe vfio-pci\n" + passIn);
    else if (container != 0)
        sysfs::AddReason(access, true, "no permission to open " + std::string(CONTAINER_SHOWN));
    if (own == ENOENT)
        sysfs::AddReason(access, true, "the card's group device " + group.Shown + " is missing",
                         passIn);
    else if (own != 0)
        sysfs::AddReason(access, true,
                         "no permission to open the card's group device " + group.Shown,
                         "the udev rule 61-veldran-vfio.rules gives it to the group veldran; join "
                         "it and log in again, or run as root");
    if (group.NoIommu)
        sysfs::AddReason(access, !sysfs::HasCapability(CAP_SYS_RAWIO),
                         "no IOMMU guards the card: its group is one of the kernel's unsafe "
                         "no-IOMMU mode, which only root may use",
                         IOMMU_REMEDY);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// busybox's modprobe, for one, leaves out the module that vfio only names
// as a soft dependency.
void CheckModules(const GroupFiles& group, PlxAccess* access)
{
    const std::string modules = sysfs::SysfsRoot() + "/module/";
    if (!group.NoIommu && Exists(modules + "vfio") && !Exists(modules + "vfio_iommu_type1"))
        sysfs::AddReason(access, true,
                         "the kernel module vfio_iommu_type1 is not loaded: VFIO cannot give the "
                         "card's group an IOMMU",
                         "as root:\n# modprobe vfio_iommu_type1");
}

// A bridge (any header type but 0) may keep its driver; any other device
// must be bound to a VFIO driver, to pci-stub or to none.
bool SharesTheGroup(const std::string& folder, const std::string& driver)
{
    if (driver.empty() || driver == "pci-stub" || driver.find("vfio") != std::string::npos)
        return true;
    uint32_t header = 0;
    return sysfs::ReadConfig(folder, HEADER_TYPE_OFFSET, 1, &header) == PLX_STATUS_OK &&
           (header & 0x7F) != 0;
}

void CheckViable(const sysfs::Found& found, const GroupFiles& group, PlxAccess* access)
{
    const std::string self = PciAddressText(found.Address);
    DIR* devices = opendir((sysfs::SysfsRoot() + "/kernel/iommu_groups/" +
                            std::to_string(group.Number) + "/devices").c_str());
    if (devices == nullptr)
        return;
    std::string others;
    while (const dirent* entry = readdir(devices)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == self)
            continue;
        const std::string folder = sysfs::DevicesFolder() + "/" + name;
        const std::string driver = sysfs::BoundDriver(folder);
        if (!SharesTheGroup(folder, driver))
            others += (others.empty() ? "" : ", ") + name + " (" + driver + ")";
    }
    closedir(devices);
    if (!others.empty())
        sysfs::AddReason(access, true,
                         "the card's IOMMU group " + std::to_string(group.Number) + " also holds " +
                             others + ", bound to other drivers: the kernel lets a program use a "
                             "group only when all its devices are bound to vfio-pci or to none",
                         "bind them to vfio-pci as well, or unbind their drivers; or move the card "
                         "to a slot with a group of its own");
}

std::string TimeText(int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc = {};
    char text[32] = "an unknown time";
    if (gmtime_r(&t, &utc) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// vfio-pci enables the device while it is open and disables it as it is
// closed: `enable` counts the opens, which everyone may read, where the
// descriptors of whoever has it open may be hidden from this process.
bool IsOpen(const sysfs::Found& found)
{
    std::string text;
    unsigned count = 0;
    return sysfs::ReadSmallFile(found.Path + "/enable", ENABLE_TEXT_MAX, &text) &&
           sysfs::ParseEnableText(text, &count) && count > 0;
}

// The holder, which a run takes the card over from, and anyone else who
// has the group open: another run, which a run waits for.
void CheckUsers(const sysfs::Found& found, const GroupFiles& group, PlxAccess* access)
{
    const std::string address = PciAddressText(found.Address);
    HolderStatus holder;
    const HolderState state = AskStatus(HoldSocket(found.Address), &holder);
    const std::string release = "veldran --release " + address + " ends it, and the kernel "
                                "then resets the card";
    if (state == HolderState::Answered)
        sysfs::AddReason(access, false,
                         "held since " + TimeText(holder.Since) + " by process " +
                             std::to_string(holder.Pid) + " (" + sysfs::ProcessName(holder.Pid) +
                             "), which keeps what a run loaded; a run takes the card over from it",
                         release);
    else if (state == HolderState::Silent)
        sysfs::AddReason(access, false,
                         "held since " + TimeText(holder.Since) +
                             " by a holder that cannot be asked here, which keeps what a run "
                             "loaded; a run that may ask takes the card over from it",
                         release);
    for (const GroupUser& user : GroupUsers(group.Path)) {
        if (state == HolderState::Answered && user.Pid == holder.Pid)
            continue;
        sysfs::AddReason(access, true,
                         "in use by another run (process " + std::to_string(user.Pid) +
                             (user.Name.empty() ? "" : ", " + user.Name) + ")",
                         "wait for it to end");
        return;
    }
    if (state == HolderState::None && IsOpen(found))
        sysfs::AddReason(access, true,
                         "in use by another run, whose process cannot be seen from here",
                         "wait for it to end");
}

}  // namespace

void CheckAccess(const sysfs::Found& found, PlxAccess* access)
{
    const std::string driver = sysfs::BoundDriver(found.Path);
    GroupFiles group;
    const bool inGroup = FindGroup(found.Path, &group);
    if (driver != "vfio-pci") {
        CheckBinding(found, driver, inGroup, access);
        return;
    }
    if (!inGroup) {
        sysfs::AddReason(access, true, "the card is in no IOMMU group, which VFIO needs",
                         IOMMU_REMEDY);
        return;
    }
    CheckFiles(group, access);
    CheckModules(group, access);
    CheckViable(found, group, access);
    CheckUsers(found, group, access);
}

}  // namespace vfio
