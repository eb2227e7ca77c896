// What the sysfs method reports to --list: what keeps this process from
// driving a card through its files now, read from the files a run would
// open, the kernel's lockdown setting (all below the same sysfs root) and
// the kernel's list of locks. It asks the kernel (faccessat with the effective
// IDs, capget) rather than reading modes, so that groups, ACLs, root and
// read-only mounts are judged as an open would judge them. It only reads.
#include <cerrno>
#include <climits>
#include <cstring>

#include "pci/host.h"

namespace sysfs {

namespace {

constexpr std::size_t ENABLE_TEXT_MAX = 16;

void AddName(std::string* list, const char* name)
{
    *list += (list->empty() ? "" : " and ") + std::string(name);
}

// What the run's open of the files for reading and writing would meet.
void CheckFiles(const std::string& folder, PlxAccess* access)
{
    bool readOnly = false;
    std::string denied, missing;
    for (const char* name : {"resource1", "resource3"}) {
        if (faccessat(AT_FDCWD, (folder + "/" + name).c_str(), R_OK | W_OK, AT_EACCESS) == 0)
            continue;
        if (errno == EROFS)
            readOnly = true;
        else if (errno == EACCES || errno == EPERM)
            AddName(&denied, name);
        else
            AddName(&missing, name);
    }
    if (readOnly)
        AddReason(access, true,
                  "sysfs is mounted read-only here (as in a container): the card's files cannot "
                  "be opened for writing",
                  "run where /sys is writable");
    if (!denied.empty())
        AddReason(access, true, "no permission to read and write " + denied,
                  "the udev rule 60-veldran.rules gives the card's files to the group veldran; "
                  "join it and log in again, or run as root");
    if (!missing.empty())
        AddReason(access, true, "the card's " + missing + " cannot be read");
}

// Whether another run holds the device, by the lock it would take.
void CheckInUse(const Found& found, PlxAccess* access)
{
    std::vector<Resource> resources;
    std::string lockFile;
    PlxStatus status = ReadResources(found.Path, &resources);
    if (status == PLX_STATUS_OK)
        status = LockFilePath(found.Path, resources, &lockFile);
    if (status == PLX_ERR_NO_LOCK) {
        AddReason(access, true,
                  "the card has no I/O BAR (the kernel gave it no I/O ports): a run reaches the "
                  "card's registers, and holds the card, through it");
        return;
    }
    if (status != PLX_STATUS_OK) {
        AddReason(access, true, "the card's resource cannot be read");
        return;
    }
    long pid = 0;
    std::string name;
    switch (FindLockHolder(lockFile, &pid, &name)) {
    case LockState::Held:
        AddReason(access, true,
                  "in use by another run" +
                      (pid > 0 ? " (process " + std::to_string(pid) +
                                     (name.empty() ? "" : ", " + name) + ")"
                               : std::string()),
                  "wait for it to end");
        break;
    case LockState::Unknown:
        AddReason(access, false,
                  "whether another run holds the card could not be checked: /proc/locks cannot "
                  "be read");
        break;
    case LockState::Free:
        break;
    }
}

// A run goes ahead with a driver bound: a machine whose driver shares the
// card with this program may rely on that.
void CheckDriver(const Found& found, const std::string& driver, PlxAccess* access)
{
    if (driver.empty())
        return;
    const std::string address = PciAddressText(found.Address);
    AddReason(access, false,
              "warning: the kernel driver " + driver +
                  " is bound to the card; a run goes ahead, but the driver may use the card too "
                  "or keep it from being mapped",
              "to keep the driver off the card, unbind it as root:\n# echo " + address +
                  " > /sys/bus/pci/devices/" + address + "/driver/unbind");
}

// The card must decode I/O and memory. A run's write of 1 to `enable`
// turns decoding on only where the kernel takes it: from CAP_SYS_ADMIN,
// with no driver bound, and only as its count of enables goes from 0 to 1.
void CheckDecoding(const Found& found, bool driverBound, PlxAccess* access)
{
    uint32_t command = 0;  // as the run reads it
    if (ReadConfig(found.Path, COMMAND_OFFSET, 2, &command) != PLX_STATUS_OK) {
        AddReason(access, true, "the card's config cannot be read");
        return;
    }
    if ((command & COMMAND_DECODE_BITS) == COMMAND_DECODE_BITS)
        return;
    std::string text;
    unsigned count = 0;
    const int enables = ReadSmallFile(found.Path + "/enable", ENABLE_TEXT_MAX, &text) &&
                                ParseEnableText(text, &count) && count <= INT_MAX
                            ? static_cast<int>(count)
                            : -1;
    const std::string enable = "/sys/bus/pci/devices/" + PciAddressText(found.Address) + "/enable";
    if (driverBound) {
        AddReason(access, true,
                  "I/O or memory decoding is off, and the kernel enables no card that a driver "
                  "holds",
                  "unbind the driver, then run as root");
    } else if (enables > 0) {
        AddReason(access, true,
                  "I/O or memory decoding is off, but the kernel counts the card as enabled "
                  "(enable reads " + std::to_string(enables) + "), so a run cannot turn it on",
                  "as root, write 0 to " + enable + " until it reads 0, then run as root");
    } else {
        const bool mayEnable = HasAdminCapability() &&
                               faccessat(AT_FDCWD, (found.Path + "/enable").c_str(), W_OK,
                                         AT_EACCESS) == 0;
        AddReason(access, !mayEnable, "I/O or memory decoding is off; a run as root turns it on");
    }
}

}  // namespace

void CheckAccess(const Found& found, PlxAccess* access)
{
    std::string mode;
    if (ReadLockdown(&mode) == LockdownState::Unknown)
        AddReason(access, false,
                  "kernel lockdown could not be checked: /sys/kernel/security/lockdown cannot be "
                  "read (no securityfs here, as in many containers); a run fails under lockdown");
    CheckFiles(found.Path, access);
    CheckInUse(found, access);
    const std::string driver = BoundDriver(found.Path);
    CheckDriver(found, driver, access);
    CheckDecoding(found, !driver.empty(), access);
}

}  // namespace sysfs
