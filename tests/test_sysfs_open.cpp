// PlxPci_DeviceOpen / PlxPci_DeviceClose and PlxPci_PciRegisterRead over
// simulated buses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/sysfs_fixture.h"

namespace {

void PutCommand(const std::string& configPath, uint16_t command)
{
    const int fd = open(configPath.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const unsigned char bytes[2] = {static_cast<unsigned char>(command),
                                    static_cast<unsigned char>(command >> 8)};
    ASSERT_EQ(pwrite(fd, bytes, 2, 4), 2);
    close(fd);
}

using SysfsOpen = SimBusTest;

TEST_F(SysfsOpen, OpenDescribesTheDeviceAndCloseEndsIt)
{
    SimCard card = CardAt(0, 4);
    card.SubDeviceId = 0x3313;
    Make({card});

    ASSERT_EQ(FindAndOpen(0, &device_), PLX_STATUS_OK);
    EXPECT_EQ(device_.IsOpen, 1);
    EXPECT_EQ(std::string(device_.Platform->Path), SimDevicePath(root_.Path(), card));
    EXPECT_EQ(device_.Key.Bus, 4);
    EXPECT_EQ(device_.Key.SubDeviceId, 0x3313);
    DeviceKey key = device_.Key;
    EXPECT_EQ(PlxPci_DeviceOpen(&key, &device_), PLX_ERR_ALREADY_OPEN);

    EXPECT_EQ(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    EXPECT_EQ(device_.IsOpen, 0);
    EXPECT_EQ(PlxPci_DeviceClose(&device_), PLX_ERR_NOT_OPEN);
    EXPECT_EQ(PlxPci_DeviceClose(nullptr), PLX_ERR_NOT_OPEN);
}

// All ones in a key field means "any", but the bus a search found is
// taken as it is: the open must not fall back to the first match.
TEST_F(SysfsOpen, OpenReachesExactlyTheDeviceFoundAndHoldsItAlone)
{
    SimCard low = CardAt(0, 5), high = CardAt(0, 0xff);
    high.IoBase = 0xD000;
    Make({low, high});
    DeviceKey key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 1), PLX_STATUS_OK);
    ASSERT_EQ(PlxPci_DeviceOpen(&key, &device_), PLX_STATUS_OK);
    EXPECT_EQ(std::string(device_.Platform->Path), SimDevicePath(root_.Path(), high));

    // Held: another open of it fails as busy, even from the same process;
    // the other card is free.
    DeviceKey again = device_.Key;
    EXPECT_EQ(PlxPci_DeviceOpen(&again, &other_), PLX_ERR_BUSY);
    EXPECT_EQ(other_.IsOpen, 0);
    ASSERT_EQ(FindAndOpen(0, &other_), PLX_STATUS_OK);
    EXPECT_EQ(std::string(other_.Platform->Path), SimDevicePath(root_.Path(), low));
    ASSERT_EQ(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_DeviceOpen(&again, &device_), PLX_STATUS_OK) << "free once closed";
}

// What makes the key's address exact is AtAddress, which a search sets and
// the callers' 0xFF fill does not: then a domain of all ones is a domain.
TEST_F(SysfsOpen, OnlyAKeyMarkedAtAddressOpensExactlyItsAddress)
{
    const SimCard near = CardAt(0, 1), far = CardAt(0xffffffff, 1);
    Make({near, far});
    DeviceKey key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 1), PLX_STATUS_OK);
    EXPECT_EQ(key.AtAddress, PLX_AT_ADDRESS);
    ASSERT_EQ(PlxPci_DeviceOpen(&key, &device_), PLX_STATUS_OK);
    EXPECT_EQ(std::string(device_.Platform->Path), SimDevicePath(root_.Path(), far));

    key.AtAddress = 0xFF;
    ASSERT_EQ(PlxPci_DeviceOpen(&key, &other_), PLX_STATUS_OK);
    EXPECT_EQ(std::string(other_.Platform->Path), SimDevicePath(root_.Path(), near)) << "the first match";
}

TEST_F(SysfsOpen, OpenFailsForADeviceThatIsNotThere)
{
    Make({CardAt(0, 1)});
    DeviceKey key = PlxKey();
    key.Domain = 0;
    key.Bus = 2;
    key.Slot = 0;
    key.AtAddress = PLX_AT_ADDRESS;
    EXPECT_EQ(PlxPci_DeviceOpen(&key, &device_), PLX_ERR_NOT_FOUND);
    EXPECT_EQ(device_.IsOpen, 0);
    EXPECT_EQ(PlxPci_DeviceOpen(nullptr, &device_), PLX_ERR_ARGUMENT);
    EXPECT_EQ(PlxPci_DeviceOpen(&key, nullptr), PLX_ERR_ARGUMENT);
}

// The lock is the first I/O BAR's file, as `resource` lists it. Where that
// cannot be found or locked, the open refuses rather than drive the card
// without it.
TEST_F(SysfsOpen, OpenFailsWhenTheLockCannotBeFoundOrTaken)
{
    const SimCard unlisted = CardAt(0, 1), noIoBar = CardAt(0, 2), folder = CardAt(0, 3);
    Make({unlisted, noIoBar, folder});
    ASSERT_EQ(unlink(File(unlisted, "resource").c_str()), 0);
    // BAR 1, the second line, made no resource at all.
    const std::string none = "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
    std::string lines = ReadFile(File(noIoBar, "resource"));
    ASSERT_EQ(lines.substr(57, 19), "0x000000000000e000 ");
    ASSERT_TRUE(WriteFile(File(noIoBar, "resource"), lines.replace(57, none.size(), none)));
    ASSERT_EQ(unlink(File(folder, "resource1").c_str()), 0);
    ASSERT_EQ(mkdir(File(folder, "resource1").c_str(), 0755), 0);

    const PlxStatus want[] = {PLX_ERR_FILE, PLX_ERR_NO_LOCK, PLX_ERR_NO_LOCK};
    for (uint16_t index = 0; index < 3; ++index) {
        EXPECT_EQ(FindAndOpen(index, &device_), want[index]) << "card " << index;
        EXPECT_EQ(device_.IsOpen, 0);
    }
}

// A card that does not decode would read back all ones, DONE included.
TEST_F(SysfsOpen, OpenFailsWhenDecodingStaysOffAfterWritingEnable)
{
    SimCard card = CardAt(0, 1);
    card.Decoding = false;
    Make({card});
    ASSERT_EQ(ReadFile(File(card, "enable")), "0\n");

    EXPECT_EQ(FindAndOpen(0, &device_), PLX_ERR_NOT_DECODING);
    EXPECT_EQ(device_.IsOpen, 0);
    EXPECT_EQ(ReadFile(File(card, "enable")), "1\n") << "the layer should have asked for it";

    for (uint16_t halfOn : {0x0001, 0x0002}) {  // I/O only, memory only
        PutCommand(File(card, "config"), halfOn);
        EXPECT_EQ(FindAndOpen(0, &device_), PLX_ERR_NOT_DECODING)
            << "command 0x" << std::hex << halfOn;
    }
}

TEST_F(SysfsOpen, OpenWithDecodingOnLeavesEnableAloneButNeedsTheCommandRegister)
{
    SimCard card = CardAt(0, 1);
    Make({card});
    ASSERT_EQ(unlink(File(card, "enable").c_str()), 0);
    ASSERT_EQ(FindAndOpen(0, &device_), PLX_STATUS_OK);
    ASSERT_EQ(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    ASSERT_EQ(unlink(File(card, "config").c_str()), 0);
    EXPECT_EQ(FindAndOpen(0, &device_), PLX_ERR_FILE);
    EXPECT_EQ(device_.IsOpen, 0);
}

TEST_F(SysfsOpen, RegisterReadFailsForMissingDevicesOrFiles)
{
    SimCard card = CardAt(0, 3);
    Make({card});
    PlxStatus status = PLX_STATUS_OK;
    EXPECT_EQ(PlxPci_PciRegisterRead(4, 0, 0, 0x00, &status), 0xFFFFFFFFu);
    EXPECT_EQ(status, PLX_ERR_NOT_FOUND) << "no device on bus 4";
    PlxPci_PciRegisterRead(3, 0, 1, 0x00, &status);
    EXPECT_EQ(status, PLX_ERR_NOT_FOUND) << "no function 1";
    PlxPci_PciRegisterRead(3, 0, 0, 0x02, nullptr);  // no status to set: must not crash

    ASSERT_EQ(unlink(File(card, "config").c_str()), 0);
    PlxPci_PciRegisterRead(3, 0, 0, 0x00, &status);
    EXPECT_EQ(status, PLX_ERR_FILE) << "no config file";
}

// Two cards with the same bus/slot/function in different domains: the
// read, which has no domain, must go to the open one.
TEST_F(SysfsOpen, RegisterReadGoesToTheOpenDeviceAcrossDomains)
{
    SimCard first = CardAt(0, 3);
    first.IoBase = 0xE000;
    SimCard second = CardAt(1, 3);
    second.IoBase = 0xD000;
    Make({second, first});
    PlxStatus status = 0;

    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x14, &status), 0xE001u) << "lowest domain";
    ASSERT_EQ(FindAndOpen(1, &device_), PLX_STATUS_OK);
    ASSERT_EQ(device_.Key.Domain, 1u);
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x14, &status), 0xD001u);
    EXPECT_EQ(status, PLX_STATUS_OK);

    // Closing a copy of the object forgets the device as well; the
    // original then finds it closed.
    DeviceObject copy = device_;
    ASSERT_EQ(PlxPci_DeviceClose(&copy), PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_DeviceClose(&device_), PLX_ERR_NOT_OPEN);
    device_.IsOpen = 0;
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x14, &status), 0xE001u);

    ASSERT_EQ(FindAndOpen(0, &other_), PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x14, &status), 0xE001u);
}

}  // namespace
