// Who has a card's group open, from /proc: the descriptors of every
// process this one may look at, read and never touched. The group itself
// is never opened for the answer: an open that succeeds resets the card.
#include <dirent.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "pci/vfio.h"

namespace vfio {

namespace {


long PidOf(const char* name)
{
    char* end = nullptr;
    const long pid = std::strtol(name, &end, 10);
    return end != name && *end == '\0' ? pid : 0;
}

// A descriptor's link names the file it has open by its path.
bool HasOpen(const std::string& fdFolder, const std::string& target)
{
    DIR* fds = opendir(fdFolder.c_str());
    if (fds == nullptr)
        return false;
    bool uses = false;
    char link[PATH_MAX];
    while (const dirent* entry = readdir(fds)) {
        const ssize_t n = readlinkat(dirfd(fds), entry->d_name, link, sizeof link - 1);
        if (n > 0 && target.compare(0, std::string::npos, link, static_cast<std::size_t>(n)) == 0) {
            uses = true;
            break;
        }
    }
    closedir(fds);
    return uses;
}

}  // namespace

std::vector<GroupUser> GroupUsers(const std::string& path)
{
    std::vector<GroupUser> users;
    char target[PATH_MAX];
    DIR* proc = realpath(path.c_str(), target) != nullptr ? opendir("/proc") : nullptr;
    if (proc == nullptr)
        return users;
    const long self = getpid();
    while (const dirent* entry = readdir(proc)) {
        const long pid = PidOf(entry->d_name);
        if (pid > 0 && pid != self && HasOpen("/proc/" + std::to_string(pid) + "/fd", target))
            users.push_back({pid, sysfs::ProcessName(pid)});
    }
    closedir(proc);
    std::sort(users.begin(), users.end(),
              [](const GroupUser& a, const GroupUser& b) { return a.Pid < b.Pid; });
    return users;
}

}  // namespace vfio
