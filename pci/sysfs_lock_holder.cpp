// Who holds a device's lock, from the kernel's list of locks: the lock
// itself is never tried, so that --list cannot get in a run's way, even
// for the moment a try would take.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "pci/host.h"

namespace sysfs {

namespace {

// Every lock of the system, a line each; more than a busy server holds.
constexpr std::size_t LOCKS_TEXT_MAX = 16u << 20;

}  // namespace

LockState FindLockHolder(const std::string& path, long* pid, std::string* name)
{
    *pid = 0;
    name->clear();
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return LockState::Free;  // nothing to hold: what else the file lacks is said elsewhere
    std::string locks;
    if (!ReadSmallFile("/proc/locks", LOCKS_TEXT_MAX, &locks))
        return LockState::Unknown;
    for (std::size_t at = 0; at < locks.size();) {
        std::size_t end = locks.find('\n', at);
        if (end == std::string::npos)
            end = locks.size();
        HeldFlock lock;
        if (ParseHeldFlock(locks.substr(at, end - at), &lock) && lock.Major == major(st.st_dev) &&
            lock.Minor == minor(st.st_dev) && lock.Inode == st.st_ino) {
            if (lock.Pid > 0) {
                *pid = lock.Pid;
                *name = ProcessName(lock.Pid);
            }
            return LockState::Held;
        }
        at = end + 1;
    }
    return LockState::Free;
}

}  // namespace sysfs
