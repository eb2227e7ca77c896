// The few ways the backend touches a file.
#include <sys/stat.h>

#include <cerrno>

#include "pci/host.h"

namespace sysfs {

int OpenFile(const std::string& path, int flags)
{
    int fd;
    do
        fd = open(path.c_str(), flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseFile(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

bool PreadExact(int fd, void* buffer, std::size_t size, uint64_t offset)
{
    ssize_t n;
    do
        n = pread(fd, buffer, size, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n >= 0 && static_cast<std::size_t>(n) == size;
}

bool PwriteExact(int fd, const void* buffer, std::size_t size, uint64_t offset)
{
    ssize_t n;
    do
        n = pwrite(fd, buffer, size, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n >= 0 && static_cast<std::size_t>(n) == size;
}

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* text)
{
    Fd fd(OpenFile(path, O_RDONLY));
    if (!fd.Ok())
        return false;
    text->clear();
    char buffer[512];
    for (;;) {
        ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (text->size() + static_cast<std::size_t>(n) > limit)
            return false;
        text->append(buffer, static_cast<std::size_t>(n));
    }
}

bool IsFolderPath(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace sysfs
