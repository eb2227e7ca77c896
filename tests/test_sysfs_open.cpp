// PlxPci_DeviceOpen / PlxPci_DeviceClose and PlxPci_PciRegisterRead over
// simulated buses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "card/plx_api.h"
#include "card/plx_sysfs_status.h"
#include "tests/plx_key.h"
#include "tools/simbus/sim_bus.h"

namespace {

SimCard CardAt(uint32_t domain, uint8_t bus)
{
    SimCard card;
    card.Domain = domain;
    card.Bus = bus;
    return card;
}

std::string Contents(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void PutCommand(const std::string& configPath, uint16_t command)
{
    const int fd = open(configPath.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const unsigned char bytes[2] = {static_cast<unsigned char>(command),
                                    static_cast<unsigned char>(command >> 8)};
    ASSERT_EQ(pwrite(fd, bytes, 2, 4), 2);
    close(fd);
}

class SysfsOpen : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(root_.Path().empty());
        ASSERT_EQ(setenv("VELDRAN_SYSFS_ROOT", root_.Path().c_str(), 1), 0);
    }
    void TearDown() override
    {
        for (DeviceObject* device : {&device_, &other_})
            if (device->IsOpen == 1)
                PlxPci_DeviceClose(device);
        unsetenv("VELDRAN_SYSFS_ROOT");
    }

    void Make(const std::vector<SimCard>& cards)
    {
        std::string error;
        ASSERT_TRUE(MakeSimBus(root_.Path(), cards, &error)) << error;
    }
    std::string File(const SimCard& card, const char* name) const
    {
        return SimDevicePath(root_.Path(), card) + "/" + name;
    }
    // Finds the index-th PLX card and opens it into device.
    PlxStatus FindAndOpen(uint16_t index, DeviceObject* device)
    {
        DeviceKey key = PlxKey();
        PlxStatus status = PlxPci_DeviceFind(&key, index);
        return status == PLX_STATUS_OK ? PlxPci_DeviceOpen(&key, device) : status;
    }

    SimTempRoot root_;
    DeviceObject device_{};
    DeviceObject other_{};
};

TEST_F(SysfsOpen, OpenDescribesTheDeviceAndCloseEndsIt)
{
    SimCard card = CardAt(0, 4);
    card.SubDeviceId = 0x3313;
    Make({card});
    for (int bar = 0; bar < PLX_BAR_COUNT; ++bar)
        device_.MapBase[bar] = &device_;  // stale values the open must clear

    ASSERT_EQ(FindAndOpen(0, &device_), PLX_STATUS_OK);
    EXPECT_EQ(device_.IsOpen, 1);
    EXPECT_EQ(std::string(device_.Path), SimDevicePath(root_.Path(), card));
    EXPECT_EQ(device_.Key.Bus, 4);
    EXPECT_EQ(device_.Key.SubDeviceId, 0x3313);
    for (int bar = 0; bar < PLX_BAR_COUNT; ++bar) {
        EXPECT_EQ(device_.MapBase[bar], nullptr);
        EXPECT_EQ(device_.MapLength[bar], 0u);
    }
    DeviceKey key = device_.Key;
    EXPECT_NE(PlxPci_DeviceOpen(&key, &device_), PLX_STATUS_OK) << "already open";

    EXPECT_EQ(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    EXPECT_EQ(device_.IsOpen, 0);
    EXPECT_NE(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    EXPECT_NE(PlxPci_DeviceClose(nullptr), PLX_STATUS_OK);
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
    EXPECT_EQ(std::string(device_.Path), SimDevicePath(root_.Path(), high));

    // Held: another open of it fails as busy, even from the same process;
    // the other card is free.
    DeviceKey again = device_.Key;
    EXPECT_EQ(PlxPci_DeviceOpen(&again, &other_), ERR_BUSY);
    EXPECT_EQ(other_.IsOpen, 0);
    ASSERT_EQ(FindAndOpen(0, &other_), PLX_STATUS_OK);
    EXPECT_EQ(std::string(other_.Path), SimDevicePath(root_.Path(), low));
    ASSERT_EQ(PlxPci_DeviceClose(&device_), PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_DeviceOpen(&again, &device_), PLX_STATUS_OK) << "free once closed";
}

TEST_F(SysfsOpen, OpenFailsForADeviceThatIsNotThere)
{
    Make({CardAt(0, 1)});
    DeviceKey key = PlxKey();
    key.Domain = 0;
    key.Bus = 2;
    key.Slot = 0;
    EXPECT_EQ(PlxPci_DeviceOpen(&key, &device_), ERR_NOT_FOUND);
    EXPECT_EQ(device_.IsOpen, 0);
    EXPECT_NE(PlxPci_DeviceOpen(nullptr, &device_), PLX_STATUS_OK);
    EXPECT_NE(PlxPci_DeviceOpen(&key, nullptr), PLX_STATUS_OK);
}

// A card that does not decode would read back all ones, DONE included.
TEST_F(SysfsOpen, OpenFailsWhenDecodingStaysOffAfterWritingEnable)
{
    SimCard card = CardAt(0, 1);
    card.Decoding = false;
    Make({card});
    ASSERT_EQ(Contents(File(card, "enable")), "0\n");

    EXPECT_NE(FindAndOpen(0, &device_), PLX_STATUS_OK);
    EXPECT_EQ(device_.IsOpen, 0);
    EXPECT_EQ(Contents(File(card, "enable")), "1\n") << "the layer should have asked for it";

    for (uint16_t halfOn : {0x0001, 0x0002}) {  // I/O only, memory only
        PutCommand(File(card, "config"), halfOn);
        EXPECT_NE(FindAndOpen(0, &device_), PLX_STATUS_OK) << "command 0x" << std::hex << halfOn;
    }
}

TEST_F(SysfsOpen, OpenWithDecodingOnLeavesEnableAlone)
{
    SimCard card = CardAt(0, 1);
    Make({card});
    ASSERT_EQ(unlink(File(card, "enable").c_str()), 0);
    EXPECT_EQ(FindAndOpen(0, &device_), PLX_STATUS_OK);
}

TEST_F(SysfsOpen, OpenFailsWhenTheCommandRegisterCannotBeRead)
{
    SimCard card = CardAt(0, 1);
    Make({card});
    ASSERT_EQ(truncate(File(card, "config").c_str(), 5), 0);
    EXPECT_NE(FindAndOpen(0, &device_), PLX_STATUS_OK);
    ASSERT_EQ(unlink(File(card, "config").c_str()), 0);
    EXPECT_NE(FindAndOpen(0, &device_), PLX_STATUS_OK);
    EXPECT_EQ(device_.IsOpen, 0);
}

TEST_F(SysfsOpen, RegisterReadGivesLittleEndianConfigRegisters)
{
    SimCard card = CardAt(0, 3);
    card.IoBase = 0xD100;
    card.SubDeviceId = 0x3472;
    Make({card});

    PlxStatus status = 0;
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x00, &status), 0x905410b5u);
    EXPECT_EQ(status, PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x14, &status), 0xD101u);
    EXPECT_EQ(status, PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x2C, &status), 0x347210b5u);
    EXPECT_EQ(status, PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0xFC, &status), 0u);  // the last register
    EXPECT_EQ(status, PLX_STATUS_OK);
}

TEST_F(SysfsOpen, RegisterReadFailsForBadOffsetsAndMissingDevicesOrFiles)
{
    SimCard card = CardAt(0, 3);
    Make({card});
    for (uint16_t offset : {0x02, 0x13, 0x100, 0xFFFC}) {
        PlxStatus status = PLX_STATUS_OK;
        EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, offset, &status), 0xFFFFFFFFu);
        EXPECT_NE(status, PLX_STATUS_OK) << "offset 0x" << std::hex << offset;
    }
    PlxStatus status = PLX_STATUS_OK;
    PlxPci_PciRegisterRead(4, 0, 0, 0x00, &status);
    EXPECT_NE(status, PLX_STATUS_OK) << "no device on bus 4";
    PlxPci_PciRegisterRead(3, 0, 1, 0x00, &status);
    EXPECT_NE(status, PLX_STATUS_OK) << "no function 1";
    PlxPci_PciRegisterRead(3, 0, 0, 0x02, nullptr);  // no status to set: must not crash

    ASSERT_EQ(unlink(File(card, "config").c_str()), 0);
    PlxPci_PciRegisterRead(3, 0, 0, 0x00, &status);
    EXPECT_NE(status, PLX_STATUS_OK) << "no config file";
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

    // Closing a copy of the object forgets the device as well.
    DeviceObject copy = device_;
    device_.IsOpen = 0;
    ASSERT_EQ(PlxPci_DeviceClose(&copy), PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x14, &status), 0xE001u);

    ASSERT_EQ(FindAndOpen(0, &other_), PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_PciRegisterRead(3, 0, 0, 0x14, &status), 0xE001u);
}

}  // namespace
