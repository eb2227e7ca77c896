// What both access methods read of the system through sysfs: the kernel's
// lockdown setting, the driver bound to a device, this process's admin
// capability; and how they word a reason for --list.
#include <linux/capability.h>
#include <sys/syscall.h>

#include <climits>
#include <cstring>

#include "pci/host.h"

namespace sysfs {

namespace {

constexpr std::size_t LOCKDOWN_TEXT_MAX = 256;

void CopyText(char* field, std::size_t size, const std::string& text)
{
    std::snprintf(field, size, "%s", text.c_str());
}

}  // namespace

// Where securityfs is not mounted, as in many containers, there is no
// telling; a kernel whose security modules (securityfs's `lsm`) leave
// lockdown out has none.
LockdownState ReadLockdown(std::string* mode)
{
    const std::string security = SysfsRoot() + "/kernel/security/";
    std::string text;
    if (!ReadSmallFile(security + "lockdown", LOCKDOWN_TEXT_MAX, &text)) {
        std::string modules;
        const bool known = ReadSmallFile(security + "lsm", LOCKDOWN_TEXT_MAX, &modules);
        if (!modules.empty() && modules.back() == '\n')
            modules.pop_back();
        if (!known || ("," + modules + ",").find(",lockdown,") != std::string::npos)
            return LockdownState::Unknown;
        return LockdownState::Off;
    }
    const std::size_t first = text.find('[');
    const std::size_t last = text.find(']', first);
    if (first == std::string::npos || last == std::string::npos)
        return LockdownState::Unknown;
    *mode = text.substr(first + 1, last - first - 1);
    return *mode == "none" ? LockdownState::Off : LockdownState::On;
}

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

bool HasAdminCapability()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective & CAP_TO_MASK(CAP_SYS_ADMIN)) != 0;
}

void AddReason(PlxAccess* access, bool blocks, const std::string& problem,
               const std::string& remedy)
{
    if (access->Count >= PLX_REASONS_MAX)
        return;
    PlxReason& reason = access->Reasons[access->Count++];
    reason.Blocks = blocks ? 1 : 0;
    CopyText(reason.Problem, sizeof reason.Problem, problem);
    CopyText(reason.Remedy, sizeof reason.Remedy, remedy);
}

}  // namespace sysfs
