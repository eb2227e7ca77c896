// Claiming a device for a run: the lock that keeps other runs off it, and
// decoding turned on.
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "pci/sysfs_internal.h"

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

// Takes the device for this process: an exclusive lock on the file of its
// first I/O BAR, the register block every run must open read-write anyway.
// Only those allowed to drive the card can open that file, so no one else
// can hold a card against its operators. A process that cannot open it
// takes no lock, and cannot drive the card either. The lock goes with the
// descriptor, so the kernel drops it however the process ends.
PlxStatus LockDevice(const std::string& folder, int* lockFile)
{
    *lockFile = -1;
    std::vector<Resource> resources;
    if (ReadResources(folder, &resources) != PLX_STATUS_OK)
        return PLX_STATUS_OK;
    for (unsigned bar = 0; bar < static_cast<unsigned>(PLX_BAR_COUNT); ++bar) {
        if ((resources[bar].Flags & RESOURCE_IO) == 0 || ResourceLength(resources[bar]) == 0)
            continue;
        const int fd = OpenFile(ResourceFile(folder, bar), O_RDWR);
        if (fd < 0)
            return PLX_STATUS_OK;
        int result;
        do
            result = flock(fd, LOCK_EX | LOCK_NB);
        while (result != 0 && errno == EINTR);
        if (result != 0 && errno == EWOULDBLOCK) {
            close(fd);
            return PLX_ERR_BUSY;
        }
        *lockFile = fd;  // where locks are not supported, held all the same
        return PLX_STATUS_OK;
    }
    return PLX_STATUS_OK;
}

}  // namespace

PlxStatus Claim(const DeviceKey& key, PlxPlatformDevice* device, DeviceKey* described)
{
    Found found;
    PlxStatus status =
        key.AtAddress == PLX_AT_ADDRESS ? FindAt(key, &found) : FindDevice(key, 0, &found);
    if (status == PLX_STATUS_OK && found.Path.size() >= PLX_PATH_MAX)
        status = PLX_ERR_PATH_LONG;
    if (status == PLX_STATUS_OK)
        status = LockDevice(found.Path, &device->LockFile);
    if (status == PLX_STATUS_OK)
        status = EnsureDecoding(found.Path);
    if (status != PLX_STATUS_OK)
        return status;
    RememberOpen(found.Address, found.Path);
    std::memcpy(device->Path, found.Path.c_str(), found.Path.size() + 1);
    *described = found.Key;
    return PLX_STATUS_OK;
}

}  // namespace sysfs
