// The I/O port calls and the BAR mapping calls over simulated buses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/sysfs_fixture.h"

namespace {

constexpr uint32_t CONTROL = 0x6C;

std::size_t PageSize()
{
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

int ByteAt(const std::string& path, uint64_t offset)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return -1;
    unsigned char byte = 0;
    const ssize_t n = pread(fd, &byte, 1, static_cast<off_t>(offset));
    close(fd);
    return n == 1 ? byte : -1;
}

// Whether the process maps the file at path (by its real path).
bool IsMapped(const std::string& path)
{
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr)
        return false;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const std::size_t at = line.find(real);
        if (at != std::string::npos && at + std::strlen(real) == line.size())
            return true;
    }
    return false;
}

class SysfsDevice : public SimBusTest {
protected:
    // Lays out card alone on the bus and opens it.
    void MakeAndOpen(const SimCard& card)
    {
        card_ = card;
        Make({card});
        ASSERT_EQ(FindAndOpen(0, &device_), PLX_STATUS_OK);
    }
    // Closes and opens the device again, so nothing read earlier is kept.
    void Reopen()
    {
        PlxPci_DeviceClose(&device_);
        DeviceKey key = PlxKey();
        ASSERT_EQ(PlxPci_DeviceOpen(&key, &device_), PLX_STATUS_OK);
    }
    std::string File(const char* name) const { return SimBusTest::File(card_, name); }
    PlxStatus Read32(uint64_t port, uint32_t* value)
    {
        return PlxPci_IoPortRead(&device_, port, value, 4, PLX_ACCESS_32);
    }
    PlxStatus Write32(uint64_t port, uint32_t value)
    {
        return PlxPci_IoPortWrite(&device_, port, &value, 4, PLX_ACCESS_32);
    }

    SimCard card_;
};

using SysfsPorts = SysfsDevice;
using SysfsBars = SysfsDevice;

// ---- I/O ports -------------------------------------------------------------

TEST_F(SysfsPorts, ControlRegisterRoundTripsThroughResource1)
{
    SimCard card;
    card.IoBase = 0xD000;
    card.Control = 0x00000002;
    MakeAndOpen(card);
    const uint64_t port = card.IoBase + CONTROL;

    uint32_t value = 0;
    ASSERT_EQ(Read32(port, &value), PLX_STATUS_OK);
    EXPECT_EQ(value, 0x00000002u);
    ASSERT_EQ(Write32(port, 0x000D0002), PLX_STATUS_OK);
    EXPECT_EQ(ReadSimControl(root_.Path(), card_), 0x000D0002u);
    ASSERT_EQ(WriteSimControl(root_.Path(), card_, 0x12345678, nullptr), true);
    ASSERT_EQ(Read32(port, &value), PLX_STATUS_OK);
    EXPECT_EQ(value, 0x12345678u);

    // Narrower accesses see the register's bytes (little-endian host).
    uint16_t half = 0;
    ASSERT_EQ(PlxPci_IoPortRead(&device_, port + 2, &half, 2, PLX_ACCESS_16), PLX_STATUS_OK);
    EXPECT_EQ(half, 0x1234);
    uint8_t byte = 0x9A;
    ASSERT_EQ(PlxPci_IoPortWrite(&device_, port, &byte, 1, PLX_ACCESS_8), PLX_STATUS_OK);
    EXPECT_EQ(ReadSimControl(root_.Path(), card_), 0x1234569Au);

    // The first and the last register of the block.
    EXPECT_EQ(Write32(card.IoBase, 0xA5A5A5A5), PLX_STATUS_OK);
    EXPECT_EQ(ByteAt(File("resource1"), 0), 0xA5);
    EXPECT_EQ(Write32(card.IoBase + 0xFC, 0x5A5A5A5A), PLX_STATUS_OK);
    EXPECT_EQ(ByteAt(File("resource1"), 0xFF), 0x5A);
}

TEST_F(SysfsPorts, PortsOutsideEveryIoBarAndWrongWidthsFail)
{
    SimCard card;
    card.IoBase = 0xE000;
    MakeAndOpen(card);
    uint32_t value = 0;
    for (uint64_t port : {uint64_t{0xE000 - 4}, uint64_t{0xE000 - 1}, uint64_t{0xE0FD},
                          uint64_t{0xE100}, uint64_t{0xF0000000}, uint64_t{0x1E000}, UINT64_MAX}) {
        EXPECT_EQ(Read32(port, &value), PLX_ERR_PORT_RANGE) << "port 0x" << std::hex << port;
        EXPECT_EQ(Write32(port, 0xFFFFFFFF), PLX_ERR_PORT_RANGE) << "port 0x" << std::hex << port;
    }
    const uint64_t port = card.IoBase + CONTROL;
    EXPECT_EQ(PlxPci_IoPortRead(&device_, port, &value, 4, PLX_ACCESS_16), PLX_ERR_ARGUMENT);
    EXPECT_EQ(PlxPci_IoPortRead(&device_, port, &value, 2, PLX_ACCESS_32), PLX_ERR_ARGUMENT);
    EXPECT_EQ(PlxPci_IoPortRead(&device_, port, &value, 3, PLX_ACCESS_32), PLX_ERR_ARGUMENT);
    EXPECT_EQ(PlxPci_IoPortRead(&device_, port, &value, 8, PLX_ACCESS_32), PLX_ERR_ARGUMENT);
    EXPECT_EQ(PlxPci_IoPortRead(&device_, port, nullptr, 4, PLX_ACCESS_32), PLX_ERR_ARGUMENT);
    EXPECT_EQ(ReadSimControl(root_.Path(), card_), card.Control) << "a failed call wrote";

    DeviceObject closed{};
    EXPECT_EQ(PlxPci_IoPortRead(&closed, port, &value, 4, PLX_ACCESS_32), PLX_ERR_NOT_OPEN);
    EXPECT_EQ(PlxPci_IoPortRead(nullptr, port, &value, 4, PLX_ACCESS_32), PLX_ERR_NOT_OPEN);
}

// On some architectures the `resource` start of an I/O BAR is a logical
// port number; the bus address is the BAR in configuration space.
TEST_F(SysfsPorts, IoBaseComesFromConfigNotFromTheResourceStart)
{
    SimCard card;
    card.IoBase = 0xE000;
    card.IoResourceStart = 0x100000;
    card.Control = 0x00C0FFEE;
    MakeAndOpen(card);

    uint32_t value = 0;
    ASSERT_EQ(Read32(card.IoBase + CONTROL, &value), PLX_STATUS_OK);
    EXPECT_EQ(value, 0x00C0FFEEu);
    EXPECT_EQ(Read32(card.IoResourceStart + CONTROL, &value), PLX_ERR_PORT_RANGE);
}

TEST_F(SysfsPorts, MissingFilesFailThePortCalls)
{
    MakeAndOpen(SimCard());
    const uint64_t port = card_.IoBase + CONTROL;
    uint32_t value = 0;

    ASSERT_EQ(rename(File("resource1").c_str(), File("saved").c_str()), 0);
    EXPECT_EQ(Read32(port, &value), PLX_ERR_FILE);
    EXPECT_EQ(Write32(port, 0), PLX_ERR_FILE);
    ASSERT_EQ(rename(File("saved").c_str(), File("resource1").c_str()), 0);

    Reopen();
    ASSERT_EQ(rename(File("config").c_str(), File("saved").c_str()), 0);
    EXPECT_EQ(Read32(port, &value), PLX_ERR_FILE);
    ASSERT_EQ(rename(File("saved").c_str(), File("config").c_str()), 0);

    // `resource` is read once, at the open.
    Reopen();
    ASSERT_EQ(rename(File("resource").c_str(), File("saved").c_str()), 0);
    EXPECT_EQ(Read32(port, &value), PLX_STATUS_OK);
}

TEST_F(SysfsPorts, RepeatedAccessesKeepOneFileOpenUntilClose)
{
    MakeAndOpen(SimCard());
    const uint64_t port = card_.IoBase + CONTROL;
    uint32_t value = 0;
    for (int i = 0; i < 101; ++i)
        ASSERT_EQ(Read32(port, &value), PLX_STATUS_OK);
    ASSERT_EQ(Write32(port, 0x000C0002), PLX_STATUS_OK);
    ASSERT_GE(device_.Platform->Sysfs.PortFile[1], 0);
    EXPECT_EQ(ReadSimControl(root_.Path(), card_), 0x000C0002u);
    const int fd = device_.Platform->Sysfs.PortFile[1];
    ASSERT_EQ(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the register file must be closed with the device";
}

// A caller's copy of a device object, kept past the close, must not reach
// the device opened next, whose record the allocator may well place where
// the closed one's was.
TEST_F(SysfsPorts, ACopyKeptPastTheCloseNeverReachesTheNextDevice)
{
    const SimCard first = CardAt(0, 1), next = CardAt(0, 2);  // one I/O base for both
    Make({first, next});
    ASSERT_EQ(FindAndOpen(0, &device_), PLX_STATUS_OK);
    DeviceObject stale = device_;
    ASSERT_EQ(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    ASSERT_EQ(FindAndOpen(1, &other_), PLX_STATUS_OK);

    uint32_t value = 0x000D0002;
    void* window = nullptr;
    EXPECT_EQ(PlxPci_IoPortWrite(&stale, first.IoBase + CONTROL, &value, 4, PLX_ACCESS_32),
              PLX_ERR_NOT_OPEN);
    EXPECT_EQ(PlxPci_PciBarMap(&stale, 3, &window), PLX_ERR_NOT_OPEN);
    EXPECT_EQ(PlxPci_DeviceClose(&stale), PLX_ERR_NOT_OPEN);
    EXPECT_EQ(ReadSimControl(root_.Path(), next), first.Control) << "the stale copy wrote";
    EXPECT_EQ(PlxPci_IoPortWrite(&other_, next.IoBase + CONTROL, &value, 4, PLX_ACCESS_32),
              PLX_STATUS_OK)
        << "the next device must still be open";
}

// ---- memory BARs -----------------------------------------------------------

TEST_F(SysfsBars, StoresThroughTheWindowReachResource3)
{
    SimCard card;
    card.Bar3Size = 4 * PageSize();
    MakeAndOpen(card);

    void* window = nullptr;
    ASSERT_EQ(PlxPci_PciBarMap(&device_, 3, &window), PLX_STATUS_OK);
    ASSERT_NE(window, nullptr);
    volatile unsigned char* bytes = static_cast<unsigned char*>(window);
    bytes[0x10] = 0x5A;
    bytes[card.Bar3Size - 1] = 0xC3;
    EXPECT_EQ(ByteAt(File("resource3"), 0x10), 0x5A);
    EXPECT_EQ(ByteAt(File("resource3"), card.Bar3Size - 1), 0xC3);

    EXPECT_EQ(PlxPci_PciBarUnmap(&device_, &window), PLX_STATUS_OK);
    EXPECT_EQ(window, nullptr);
    EXPECT_FALSE(IsMapped(File("resource3")));
}

// A BAR smaller than a page may start mid-page; the window must carry that
// offset, and a store lands at that offset of the page.
TEST_F(SysfsBars, MidPageBarWindowCarriesTheInPageOffset)
{
    SimCard card;
    card.Bar3Size = 256;
    card.Bar3PageOffset = 0x800;
    MakeAndOpen(card);

    void* window = nullptr;
    ASSERT_EQ(PlxPci_PciBarMap(&device_, 3, &window), PLX_STATUS_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(window) % PageSize(), 0x800u);
    static_cast<volatile unsigned char*>(window)[5] = 0xAB;
    EXPECT_EQ(ByteAt(File("resource3"), 0x805), 0xAB);
    EXPECT_EQ(ByteAt(File("resource3"), 5), 0x00);

    void* wrong = static_cast<unsigned char*>(window) - 0x800;  // the page, not the window
    EXPECT_EQ(PlxPci_PciBarUnmap(&device_, &wrong), PLX_ERR_NOT_MAPPED);
    void* stale = window;
    EXPECT_EQ(PlxPci_PciBarUnmap(&device_, &window), PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_PciBarUnmap(&device_, &stale), PLX_ERR_NOT_MAPPED) << "already unmapped";
    EXPECT_EQ(PlxPci_PciBarUnmap(&device_, &window), PLX_ERR_ARGUMENT) << "a null window";
}

TEST_F(SysfsBars, OnlyMemoryBarsWithASizeMap)
{
    MakeAndOpen(SimCard());
    void* window = nullptr;
    EXPECT_EQ(PlxPci_PciBarMap(&device_, 0, &window), PLX_ERR_BAR_TYPE) << "memory, no size";
    EXPECT_EQ(PlxPci_PciBarMap(&device_, 1, &window), PLX_ERR_BAR_TYPE) << "I/O";
    EXPECT_EQ(PlxPci_PciBarMap(&device_, 2, &window), PLX_ERR_BAR_TYPE) << "unused";
    EXPECT_EQ(PlxPci_PciBarMap(&device_, PLX_BAR_COUNT, &window), PLX_ERR_ARGUMENT);
    EXPECT_EQ(PlxPci_PciBarMap(&device_, 3, nullptr), PLX_ERR_ARGUMENT);
    EXPECT_EQ(window, nullptr);

    ASSERT_EQ(PlxPci_PciBarMap(&device_, 3, &window), PLX_STATUS_OK);
    void* again = nullptr;
    EXPECT_EQ(PlxPci_PciBarMap(&device_, 3, &again), PLX_ERR_ALREADY_MAPPED);

    DeviceObject closed{};
    EXPECT_EQ(PlxPci_PciBarMap(&closed, 3, &again), PLX_ERR_NOT_OPEN);
    EXPECT_EQ(PlxPci_PciBarUnmap(&closed, &window), PLX_ERR_NOT_OPEN);
}

TEST_F(SysfsBars, MissingOrShortFilesFailTheMap)
{
    MakeAndOpen(SimCard());
    void* window = nullptr;
    ASSERT_EQ(rename(File("resource3").c_str(), File("saved").c_str()), 0);
    EXPECT_EQ(PlxPci_PciBarMap(&device_, 3, &window), PLX_ERR_FILE);
    ASSERT_EQ(rename(File("saved").c_str(), File("resource3").c_str()), 0);

    // `resource` is read once, at the open.
    ASSERT_EQ(rename(File("resource").c_str(), File("saved").c_str()), 0);
    EXPECT_EQ(PlxPci_PciBarMap(&device_, 3, &window), PLX_STATUS_OK);
    ASSERT_EQ(rename(File("saved").c_str(), File("resource").c_str()), 0);
    ASSERT_EQ(PlxPci_PciBarUnmap(&device_, &window), PLX_STATUS_OK);

    ASSERT_EQ(truncate(File("resource3").c_str(), 100), 0);  // shorter than the BAR
    EXPECT_EQ(PlxPci_PciBarMap(&device_, 3, &window), PLX_ERR_FILE);
}

TEST_F(SysfsBars, CloseUnmapsWhatIsStillMapped)
{
    MakeAndOpen(SimCard());
    void* window = nullptr;
    ASSERT_EQ(PlxPci_PciBarMap(&device_, 3, &window), PLX_STATUS_OK);
    ASSERT_TRUE(IsMapped(File("resource3")));

    EXPECT_EQ(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    EXPECT_FALSE(IsMapped(File("resource3")));
    EXPECT_EQ(device_.IsOpen, 0);
}

}  // namespace
