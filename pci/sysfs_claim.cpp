// Claiming a device for a run: the lock that keeps other runs off it, and
// decoding turned on.
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "pci/host.h"

namespace sysfs {

namespace {

bool WriteEnable(const std::string& folder)
{
    Fd fd(OpenFile(folder + "/enable", O_WRONLY));
    return fd.Ok() && PwriteExact(fd.Get(), "1", 1, 0);
}

// The card must decode both I/O and memory; if it does not, ask the kernel
// to enable it and look again.
PlxStatus EnsureDecoding(const std::string& folder)
{
    uint32_t command = 0;
    PlxStatus status = ReadConfig(folder, COMMAND_OFFSET, 2, &command);
    if (status != PLX_STATUS_OK)
        return status;
    if ((command & COMMAND_DECODE_BITS) == COMMAND_DECODE_BITS)
        return PLX_STATUS_OK;
    WriteEnable(folder);  // whether it worked shows in the register
    status = ReadConfig(folder, COMMAND_OFFSET, 2, &command);
    if (status != PLX_STATUS_OK)
        return status;
    return (command & COMMAND_DECODE_BITS) == COMMAND_DECODE_BITS ? PLX_STATUS_OK
                                                                  : PLX_ERR_NOT_DECODING;
}

bool KeepsOut(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

// Takes the device for this process: an exclusive lock on the file of its
// first I/O BAR, the register block every run must open read-write anyway.
// Only those allowed to drive the card can open that file, so no one else
// can hold a card against its operators. A process whose rights keep it
// out of the file takes no lock, and cannot drive the card either: its
// first access to the registers fails the same way. Short of that, a
// device whose lock cannot be found or taken is refused, never driven
// unlocked. The lock goes with the descriptor, so the kernel drops it
// however the process ends.
PlxStatus LockDevice(const PlxPlatformDevice& device, int* lockFile)
{
    *lockFile = -1;
    std::string path;
    const PlxStatus status = LockFilePath(device.Path, device.Resources, &path);
    if (status != PLX_STATUS_OK)
        return status;
    const int fd = OpenFile(path, O_RDWR);
    if (fd < 0)
        return KeepsOut(errno) ? PLX_STATUS_OK : PLX_ERR_NO_LOCK;
    int result;
    do
        result = flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        close(fd);
        return error == EWOULDBLOCK ? PLX_ERR_BUSY : PLX_ERR_NO_LOCK;
    }
    *lockFile = fd;
    return PLX_STATUS_OK;
}

}  // namespace

PlxStatus LockFilePath(const std::string& folder, const std::vector<Resource>& resources,
                       std::string* path)
{
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if ((resources[bar].Flags & RESOURCE_IO) != 0 && ResourceLength(resources[bar]) != 0) {
            *path = ResourceFile(folder, bar);
            return PLX_STATUS_OK;
        }
    }
    return PLX_ERR_NO_LOCK;
}

PlxStatus Claim(PlxPlatformDevice* device)
{
    const PlxStatus status = LockDevice(*device, &device->Sysfs.LockFile);
    return status == PLX_STATUS_OK ? EnsureDecoding(device->Path) : status;
}

}  // namespace sysfs
