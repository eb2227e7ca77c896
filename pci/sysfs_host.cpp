// What both access methods read of the system through sysfs: the kernel's
// lockdown setting, the driver bound to a device, this process's admin
// capability, a process's name; and how they word a reason for --list.
#include <linux/capability.h>
#include <sys/syscall.h>

#include <climits>
#include <cstring>

#include "pci/host.h"

namespace sysfs {

namespace {

constexpr std::size_t LOCKDOWN_TEXT_MAX = 256;
constexpr std::size_t COMM_TEXT_MAX = 64;

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

// The link is resolved whole where it leads somewhere, so that a link to
// the kernel's own link (as the kernel suite lays one out beside a card)
// names the driver too.
std::string BoundDriver(const std::string& folder)
{
    const std::string link = folder + "/driver";
    char target[PATH_MAX];
    if (realpath(link.c_str(), target) == nullptr) {
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return "";
        target[n] = '\0';
    }
    const char* slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

std::string ProcessName(long pid)
{
    std::string name;
    if (!ReadSmallFile("/proc/" + std::to_string(pid) + "/comm", COMM_TEXT_MAX, &name))
        return "";
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

bool HasCapability(int capability)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

bool HasAdminCapability()
{
    return HasCapability(CAP_SYS_ADMIN);
}

bool IoBarBase(uint32_t value, uint64_t* base)
{
    constexpr uint32_t IO_BAR_FLAG = 0x1;
    constexpr uint32_t IO_BAR_MASK = 0xFFFFFFFC;
    *base = value & IO_BAR_MASK;
    return (value & IO_BAR_FLAG) != 0;
}

PlxStatus FindIoBar(const IoBars& bars, uint64_t port, uint32_t size, unsigned* bar,
                    uint64_t* offset)
{
    for (unsigned i = 0; i < static_cast<unsigned>(PLX_BAR_COUNT); ++i) {
        const uint64_t base = bars.Base[i], length = bars.Length[i];
        if (length == 0 || port < base || port - base >= length || size > length - (port - base))
            continue;
        *bar = i;
        *offset = port - base;
        return PLX_STATUS_OK;
    }
    return PLX_ERR_PORT_RANGE;
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
