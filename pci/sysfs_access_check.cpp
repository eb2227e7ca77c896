// What PlxHost_CheckAccess reports on Linux: what keeps this process
// from driving a card now, read from the files a run would open and
// from the kernel's lockdown setting, all below the same sysfs root. It
// asks the kernel (faccessat with the effective IDs, capget) rather than
// reading modes, so that groups, ACLs, root and read-only mounts are
// judged as an open would judge them. It only reads.
#include <linux/capability.h>
#include <sys/syscall.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "pci/sysfs_internal.h"

namespace sysfs {

namespace {

constexpr std::size_t LOCKDOWN_TEXT_MAX = 256;

void AddName(char* list, const char* name)
{
    const std::size_t used = std::strlen(list);
    std::snprintf(list + used, PLX_ACCESS_TEXT_MAX - used, "%s%s", used != 0 ? " and " : "", name);
}

// The mode in brackets, as in "none [integrity] confidentiality"; empty
// where the kernel has no lockdown file.
std::string LockdownMode()
{
    std::string text;
    if (!ReadSmallFile(SysfsRoot() + "/kernel/security/lockdown", LOCKDOWN_TEXT_MAX, &text))
        return "";
    const std::size_t first = text.find('[');
    const std::size_t last = text.find(']', first);
    if (first == std::string::npos || last == std::string::npos)
        return "";
    return text.substr(first + 1, last - first - 1);
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

}  // namespace

void CheckAccess(const std::string& folder, PlxAccess* access)
{
    const std::string lockdown = LockdownMode();
    if (!lockdown.empty() && lockdown != "none") {
        access->Blocks |= PLX_BLOCK_LOCKDOWN;
        std::snprintf(access->Lockdown, PLX_ACCESS_TEXT_MAX, "%s", lockdown.c_str());
    }
    CheckReadWrite(folder, "resource1", access);
    CheckReadWrite(folder, "resource3", access);
    const std::string driver = BoundDriver(folder);
    if (!driver.empty()) {
        access->Blocks |= PLX_BLOCK_DRIVER;
        std::snprintf(access->Driver, PLX_ACCESS_TEXT_MAX, "%s", driver.c_str());
    }
    uint32_t command = 0;  // as the run reads it
    if (ReadConfig(folder, COMMAND_OFFSET, 2, &command) != PLX_STATUS_OK) {
        access->Blocks |= PLX_BLOCK_MISSING;
        AddName(access->Missing, "config");
    } else if ((command & COMMAND_DECODE_BITS) != COMMAND_DECODE_BITS) {
        access->Blocks |= PLX_BLOCK_NOT_DECODING;
    }
    access->MayEnable = MayEnable(folder) ? 1 : 0;
}

}  // namespace sysfs
