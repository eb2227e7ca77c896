// What PlxHost_CheckAccess reports on Linux: what keeps this process
// from driving a card now, read from the files a run would open, the
// kernel's lockdown setting (all below the same sysfs root) and the
// kernel's list of locks. It asks the kernel (faccessat with the effective
// IDs, capget) rather than reading modes, so that groups, ACLs, root and
// read-only mounts are judged as an open would judge them. It only reads.
#include <linux/capability.h>
#include <sys/syscall.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "pci/sysfs_internal.h"

namespace sysfs {

namespace {

constexpr std::size_t LOCKDOWN_TEXT_MAX = 256;
constexpr std::size_t ENABLE_TEXT_MAX = 16;

void AddName(char* list, const char* name)
{
    const std::size_t used = std::strlen(list);
    std::snprintf(list + used, PLX_ACCESS_TEXT_MAX - used, "%s%s", used != 0 ? " and " : "", name);
}

void CopyText(char* field, const std::string& text)
{
    std::snprintf(field, PLX_ACCESS_TEXT_MAX, "%s", text.c_str());
}

// The lockdown mode, the one in brackets as in "none [integrity]
// confidentiality". Where securityfs is not mounted, as in many
// containers, there is no telling; a kernel whose security modules
// (securityfs's `lsm`) leave lockdown out has none.
void CheckLockdown(PlxAccess* access)
{
    const std::string security = SysfsRoot() + "/kernel/security/";
    std::string text;
    if (!ReadSmallFile(security + "lockdown", LOCKDOWN_TEXT_MAX, &text)) {
        std::string modules;
        const bool known = ReadSmallFile(security + "lsm", LOCKDOWN_TEXT_MAX, &modules);
        if (!modules.empty() && modules.back() == '\n')
            modules.pop_back();
        if (!known || ("," + modules + ",").find(",lockdown,") != std::string::npos)
            access->Notes |= PLX_NOTE_LOCKDOWN_UNKNOWN;
        return;
    }
    const std::size_t first = text.find('[');
    const std::size_t last = text.find(']', first);
    if (first == std::string::npos || last == std::string::npos) {
        access->Notes |= PLX_NOTE_LOCKDOWN_UNKNOWN;
        return;
    }
    const std::string mode = text.substr(first + 1, last - first - 1);
    if (mode != "none") {
        access->Blocks |= PLX_BLOCK_LOCKDOWN;
        CopyText(access->Lockdown, mode);
    }
}

// Whether the run's open of the file for reading and writing would pass.
void CheckReadWrite(const std::string& folder, const char* name, PlxAccess* access)
{
    if (faccessat(AT_FDCWD, (folder + "/" + name).c_str(), R_OK | W_OK, AT_EACCESS) == 0)
        return;
    if (errno == EROFS) {
        access->Blocks |= PLX_BLOCK_READ_ONLY;
    } else if (errno == EACCES || errno == EPERM) {
        access->Blocks |= PLX_BLOCK_PERMISSION;
        AddName(access->Denied, name);
    } else {
        access->Blocks |= PLX_BLOCK_MISSING;
        AddName(access->Missing, name);
    }
}

// The name of the driver bound to the device, from its `driver` link.
std::string BoundDriver(const std::string& folder)
{
    char target[PATH_MAX];
    const ssize_t n = readlink((folder + "/driver").c_str(), target, sizeof target - 1);
    if (n <= 0)
        return "";
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

// The kernel lets only CAP_SYS_ADMIN write `enable`, whatever its mode.
bool MayEnable(const std::string& folder)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0 ||
        (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) == 0)
        return false;
    return faccessat(AT_FDCWD, (folder + "/enable").c_str(), W_OK, AT_EACCESS) == 0;
}

void CheckDecoding(const std::string& folder, PlxAccess* access)
{
    uint32_t command = 0;  // as the run reads it
    if (ReadConfig(folder, COMMAND_OFFSET, 2, &command) != PLX_STATUS_OK) {
        access->Blocks |= PLX_BLOCK_MISSING;
        AddName(access->Missing, "config");
    } else if ((command & COMMAND_DECODE_BITS) != COMMAND_DECODE_BITS) {
        access->Blocks |= PLX_BLOCK_NOT_DECODING;
    }
    access->MayEnable = MayEnable(folder) ? 1 : 0;
    std::string text;
    unsigned count = 0;
    access->EnableCount = ReadSmallFile(folder + "/enable", ENABLE_TEXT_MAX, &text) &&
                                  ParseEnableText(text, &count) && count <= INT_MAX
                              ? static_cast<int>(count)
                              : -1;
}

// Whether another run holds the device, by the lock it would take.
void CheckInUse(const std::string& folder, PlxAccess* access)
{
    std::string lockFile;
    const PlxStatus status = LockFilePath(folder, &lockFile);
    if (status == PLX_ERR_NO_LOCK) {
        access->Blocks |= PLX_BLOCK_NO_IO_BAR;
        return;
    }
    if (status != PLX_STATUS_OK) {
        access->Blocks |= PLX_BLOCK_MISSING;
        AddName(access->Missing, "resource");
        return;
    }
    long pid = 0;
    std::string name;
    switch (FindLockHolder(lockFile, &pid, &name)) {
    case LockState::Held:
        access->Blocks |= PLX_BLOCK_IN_USE;
        access->Holder = pid > 0 && pid <= INT_MAX ? static_cast<int>(pid) : 0;
        CopyText(access->HolderName, access->Holder != 0 ? name : "");
        break;
    case LockState::Unknown:
        access->Notes |= PLX_NOTE_USE_UNKNOWN;
        break;
    case LockState::Free:
        break;
    }
}

}  // namespace

void CheckAccess(const std::string& folder, PlxAccess* access)
{
    CheckLockdown(access);
    CheckReadWrite(folder, "resource1", access);
    CheckReadWrite(folder, "resource3", access);
    CheckInUse(folder, access);
    const std::string driver = BoundDriver(folder);
    if (!driver.empty()) {
        access->Notes |= PLX_NOTE_DRIVER;
        CopyText(access->Driver, driver);
    }
    CheckDecoding(folder, access);
}

}  // namespace sysfs
