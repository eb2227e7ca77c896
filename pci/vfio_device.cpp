// Opening a card through VFIO: its container, its IOMMU group and the
// device itself, taken over from the card's holder where one keeps it
// open, else opened afresh; then the device's regions.
#include <linux/vfio.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <new>

#include "pci/vfio.h"

namespace vfio {

namespace {

int Control(int fd, unsigned long request, unsigned long argument)
{
    int result;
    do
        result = ioctl(fd, request, argument);
    while (result < 0 && errno == EINTR);
    return result;
}

int Control(int fd, unsigned long request, void* argument)
{
    return Control(fd, request, reinterpret_cast<unsigned long>(argument));
}

// The kind of IOMMU the container is to use: type 1 (v2 where the kernel
// has it) behind a real IOMMU, or none in the kernel's unsafe mode, which
// it offers to CAP_SYS_RAWIO alone; 0 where the kernel offers neither.
int IommuType(int container, bool noIommu)
{
    if (noIommu)
        return Control(container, VFIO_CHECK_EXTENSION, VFIO_NOIOMMU_IOMMU) > 0
                   ? VFIO_NOIOMMU_IOMMU
                   : 0;
    for (const int type : {VFIO_TYPE1v2_IOMMU, VFIO_TYPE1_IOMMU})
        if (Control(container, VFIO_CHECK_EXTENSION, static_cast<unsigned long>(type)) > 0)
            return type;
    return 0;
}

// A second open of a group that another process holds fails with EBUSY:
// that is another run, or the holder of a run whose socket is gone.
PlxStatus OpenGroup(const std::string& path, int* group)
{
    *group = sysfs::OpenFile(path, O_RDWR);
    if (*group >= 0)
        return PLX_STATUS_OK;
    return errno == EBUSY ? PLX_ERR_BUSY : PLX_ERR_FILE;
}

PlxStatus OpenAfresh(const GroupFiles& group, const std::string& name, VfioDevice* v)
{
    v->Container = sysfs::OpenFile(ContainerPath(), O_RDWR);
    if (v->Container < 0)
        return PLX_ERR_FILE;
    if (Control(v->Container, VFIO_GET_API_VERSION, 0ul) != VFIO_API_VERSION)
        return PLX_ERR_VFIO;
    const int type = IommuType(v->Container, group.NoIommu);
    if (type == 0)
        return PLX_ERR_VFIO;
    const PlxStatus status = OpenGroup(group.Path, &v->Group);
    if (status != PLX_STATUS_OK)
        return status;
    vfio_group_status viable = {};
    viable.argsz = sizeof viable;
    if (Control(v->Group, VFIO_GROUP_GET_STATUS, &viable) != 0 ||
        (viable.flags & VFIO_GROUP_FLAGS_VIABLE) == 0 ||
        Control(v->Group, VFIO_GROUP_SET_CONTAINER, &v->Container) != 0 ||
        Control(v->Container, VFIO_SET_IOMMU, static_cast<unsigned long>(type)) != 0)
        return PLX_ERR_VFIO;
    // The kernel resets the device here, the first time it is opened.
    v->Device = Control(v->Group, VFIO_GROUP_GET_DEVICE_FD, const_cast<char*>(name.c_str()));
    return v->Device >= 0 ? PLX_STATUS_OK : PLX_ERR_VFIO;
}

PlxStatus ReadRegions(VfioDevice* v)
{
    vfio_device_info info = {};
    info.argsz = sizeof info;
    if (Control(v->Device, VFIO_DEVICE_GET_INFO, &info) != 0 ||
        (info.flags & VFIO_DEVICE_FLAGS_PCI) == 0 || info.num_regions < REGION_COUNT)
        return PLX_ERR_VFIO;
    for (unsigned index = 0; index < REGION_COUNT; ++index) {
        vfio_region_info region = {};
        region.argsz = sizeof region;
        region.index = index;
        if (Control(v->Device, VFIO_DEVICE_GET_REGION_INFO, &region) == 0)
            v->Regions[index] = {region.offset, region.size, region.flags};
    }
    return v->Regions[CONFIG_REGION].Size != 0 ? PLX_STATUS_OK : PLX_ERR_VFIO;
}

// The card must decode I/O and memory; vfio-pci enables it as it opens it,
// but a card taken over keeps what its last user left.
PlxStatus EnsureDecoding(PlxPlatformDevice* device)
{
    uint32_t command = 0;
    PlxStatus status = ReadConfig(device, sysfs::COMMAND_OFFSET, 2, &command);
    if (status != PLX_STATUS_OK || (command & sysfs::COMMAND_DECODE_BITS) == sysfs::COMMAND_DECODE_BITS)
        return status;
    status = WriteCommand(device->Vfio, static_cast<uint16_t>(command | sysfs::COMMAND_DECODE_BITS));
    if (status == PLX_STATUS_OK)
        status = ReadConfig(device, sysfs::COMMAND_OFFSET, 2, &command);
    if (status == PLX_STATUS_OK && (command & sysfs::COMMAND_DECODE_BITS) != sysfs::COMMAND_DECODE_BITS)
        status = PLX_ERR_NOT_DECODING;
    return status;
}

}  // namespace

// Taking over comes first: while a holder keeps the group open, an open of
// it fails, and the holder's descriptors carry the card as it was loaded,
// with no reset between.
PlxStatus Open(const sysfs::Found& found, PlxPlatformDevice* device)
{
    if (sysfs::BoundDriver(found.Path) != "vfio-pci")
        return PLX_ERR_LOCKED_DOWN;
    GroupFiles group;
    if (!FindGroup(found.Path, &group))
        return PLX_ERR_VFIO;
    device->Vfio = new (std::nothrow) VfioDevice();
    if (device->Vfio == nullptr)
        return PLX_ERR_INTERNAL;
    VfioDevice* v = device->Vfio;
    v->GroupPath = group.Path;
    int fds[3];
    PlxStatus status = TakeOver(HoldSocket(found.Address), group.Path, fds);
    if (status == PLX_STATUS_OK) {
        v->Container = fds[0];
        v->Group = fds[1];
        v->Device = fds[2];
    } else if (status == PLX_ERR_NOT_HELD) {
        status = OpenAfresh(group, PciAddressText(found.Address), v);
    }
    if (status == PLX_STATUS_OK)
        status = ReadRegions(v);
    return status == PLX_STATUS_OK ? EnsureDecoding(device) : status;
}

// The device before its group, the group before its container, as they
// were taken. Closing the last descriptor of the device resets it.
PlxStatus Close(PlxPlatformDevice* device)
{
    VfioDevice* v = device->Vfio;
    if (v == nullptr)
        return PLX_STATUS_OK;
    UnmapAll(v);
    for (int* fd : {&v->Device, &v->Group, &v->Container})
        sysfs::CloseFile(fd);
    delete v;
    device->Vfio = nullptr;
    return PLX_STATUS_OK;
}

}  // namespace vfio
