#include "app/caller_file.h"

#include <linux/capability.h>
#include <sys/auxv.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>

namespace {

struct Capabilities {
    __user_cap_header_struct Header;
    __user_cap_data_struct Data[_LINUX_CAPABILITY_U32S_3];
};

bool GetCapabilities(Capabilities* caps)
{
    *caps = Capabilities{};
    caps->Header.version = _LINUX_CAPABILITY_VERSION_3;
    return syscall(SYS_capget, &caps->Header, caps->Data) == 0;
}

bool SetCapabilities(Capabilities caps)
{
    return syscall(SYS_capset, &caps.Header, caps.Data) == 0;
}

bool IsFolder(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

int OpenForReading(const char* path)
{
    int fd;
    do
        fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    // A folder opens for reading on Linux, but is no file to program.
    if (fd >= 0 && IsFolder(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The open with the file-system IDs set to the real ones and no effective
// capability; both are put back afterwards, so the card's files are
// opened with the install's rights. Changing the file-system user ID away
// from root also drops the file capabilities, but a file-capability
// install runs as the user and keeps them, hence the explicit clear.
int OpenWithCallerRights(const char* path)
{
    Capabilities saved;
    if (!GetCapabilities(&saved))
        return -1;
    Capabilities none = saved;
    for (auto& word : none.Data)
        word.effective = 0;
    const uid_t oldUid = static_cast<uid_t>(setfsuid(getuid()));
    const gid_t oldGid = static_cast<gid_t>(setfsgid(getgid()));
    // Without the clear, the open would run with the raised rights: refuse.
    const int fd = SetCapabilities(none) ? OpenForReading(path) : -1;
    setfsgid(oldGid);
    setfsuid(oldUid);
    // Back to a set the process already held, which cannot be refused.
    SetCapabilities(saved);
    return fd;
}

}  // namespace

FILE* OpenAsCaller(const char* path)
{
    // The kernel marks an exec that raised rights (set-user-ID, set-group-
    // ID, file capabilities); an ordinary run opens as it always did.
    const int fd = getauxval(AT_SECURE) != 0 ? OpenWithCallerRights(path) : OpenForReading(path);
    if (fd < 0)
        return nullptr;
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr)
        close(fd);
    return file;
}
