// The simulated bus itself: the veldran-simbus command line that scripts
// and the end-to-end tests use, and how MakeSimBus treats an existing root.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/sysfs_fixture.h"
#include "tools/testkit/process.h"

namespace {

// Runs veldran-simbus with args.
Outcome Simbus(const std::vector<std::string>& args)
{
    return RunProcess({VELDRAN_SIMBUS_EXE, args, {}});
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The bus goes into a folder that does not exist yet, so that a refused
// command can be seen to have made nothing.
class SimbusTool : public SimBusTest {
protected:
    void SetUp() override
    {
        SimBusTest::SetUp();
        ASSERT_EQ(setenv("VELDRAN_SYSFS_ROOT", sys_.c_str(), 1), 0);
    }

    const std::string sys_ = root_.Path() + "/sys";
};

// The README's demo, in short: make a bus, drive the card, look at the
// register.
TEST_F(SimbusTool, MakesCardsTheLayerDrivesAndReportsTheControlRegister)
{
    Outcome made = Simbus({sys_, "addr=0000:02:00.0,subsys=0x3312,io=0xd000,control=0x00040002",
                      "addr=0000:01:00.0,device=0x9056", "addr=0001:02:00.0,decode=0"});
    ASSERT_EQ(made.Status, 0);
    EXPECT_EQ(made.Out, "");

    DeviceKey key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 0), PLX_STATUS_OK);
    EXPECT_EQ(key.Bus, 2);
    EXPECT_EQ(key.SubDeviceId, 0x3312);
    ASSERT_EQ(PlxPci_DeviceOpen(&key, &device_), PLX_STATUS_OK);
    uint32_t value = 0;
    ASSERT_EQ(PlxPci_IoPortRead(&device_, 0xd000 + 0x6C, &value, 4, PLX_ACCESS_32), PLX_STATUS_OK);
    EXPECT_EQ(value, 0x00040002u);
    value = 0x00010002;
    ASSERT_EQ(PlxPci_IoPortWrite(&device_, 0xd000 + 0x6C, &value, 4, PLX_ACCESS_32), PLX_STATUS_OK);

    Outcome control = Simbus({"--control", sys_, "0000:02:00.0"});
    EXPECT_EQ(control.Status, 0);
    EXPECT_EQ(control.Out, "0x00010002\n");

    key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 1), PLX_STATUS_OK);
    EXPECT_EQ(PlxPci_DeviceOpen(&key, &other_), PLX_ERR_NOT_DECODING);

    EXPECT_EQ(Simbus({"--control", sys_, "0000:03:00.0"}).Status, 1) << "no such card";
}

TEST_F(SimbusTool, NoCardMeansOneDefaultCard)
{
    ASSERT_EQ(Simbus({sys_}).Status, 0);
    EXPECT_TRUE(Exists(sys_ + "/bus/pci/devices/0000:01:00.0"));
    EXPECT_EQ(Simbus({"--control", sys_, "0000:01:00.0"}).Out, "0x00000002\n");
    DeviceKey key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 0), PLX_STATUS_OK);
    EXPECT_EQ(key.SubDeviceId, 0x3311);
}

TEST_F(SimbusTool, BadArgumentsExitTwoAndMakeNothing)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {""},
        {"--bogus"},
        {sys_, "addr=0000:02:00"},
        {sys_, "addr=0000:02:20.0"},
        {sys_, "addr=0000:0A:00.0"},
        {sys_, "io=0xe001"},
        {sys_, "io=12abc"},
        {sys_, "io="},
        {sys_, "io=-1"},
        {sys_, "vendor=0x10000"},
        {sys_, "control=0x100000000"},
        {sys_, "control=99999999999999999999999"},
        {sys_, "decode=2"},
        {sys_, "enable=-1"},
        {sys_, "bogus=1"},
        {sys_, "io"},
        {sys_, ""},
        {sys_, "io=0xe000,"},
        {sys_, "io=0xe000,io=0xd000"},
        {sys_, "bar3size=100"},
        {sys_, "bar3size=256,bar3offset=0x80"},
        {sys_, "bar3offset=0x1000"},
        {sys_, "addr=0000:01:00.0", "addr=0000:01:00.0"},
        {sys_, "addr=0000:02:00.0", "io=0xe001"},
        {"--control", sys_},
        {"--control", sys_, "0000:01:00.0", "extra"},
        {"--control", sys_, "1:00.0"},
    };
    for (const std::vector<std::string>& args : bad) {
        std::string shown;
        for (const std::string& arg : args)
            shown += "'" + arg + "' ";
        EXPECT_EQ(Simbus(args).Status, 2) << shown;
        EXPECT_FALSE(Exists(sys_)) << shown;
    }
}

TEST_F(SimbusTool, AddsToAnExistingRootButOverwritesNoDevice)
{
    ASSERT_EQ(Simbus({sys_, "addr=0000:01:00.0,control=0x11"}).Status, 0);
    ASSERT_EQ(Simbus({sys_, "addr=0000:02:00.0,symlink=0"}).Status, 0);
    EXPECT_EQ(Simbus({sys_, "addr=0000:01:00.0,control=0x22"}).Status, 1);
    EXPECT_EQ(Simbus({"--control", sys_, "0000:01:00.0"}).Out, "0x00000011\n");

    SimCard card;
    card.Bus = 2;
    std::string error;
    EXPECT_FALSE(MakeSimBus(sys_, {card}, &error));
    EXPECT_NE(error, "");
    card.Bus = 3;
    EXPECT_TRUE(MakeSimBus(sys_, {card}, &error)) << error;

    DeviceKey key = PlxKey();
    EXPECT_EQ(PlxPci_DeviceFind(&key, 2), PLX_STATUS_OK);
    EXPECT_EQ(key.Bus, 3);
}

TEST(SimbusParse, CardItemsSetTheirFieldsOverTheDefaults)
{
    SimCard card;
    std::string error;
    ASSERT_TRUE(ParseSimCard("addr=0002:1f:03.5,vendor=4277,device=0x9056,subvendor=0x1172,"
                             "subsys=0x3473,io=0xD000,iostart=0x10000,control=0x000c0000,"
                             "bar3addr=0xe0000000,bar3size=256,bar3offset=0x300,decode=0,enable=3,symlink=0,"
                             "group=12,driver=vfio-pci",
                             &card, &error))
        << error;
    EXPECT_EQ(card.Domain, 2u);
    EXPECT_EQ(card.Bus, 0x1f);
    EXPECT_EQ(card.Slot, 3);
    EXPECT_EQ(card.Function, 5);
    EXPECT_EQ(card.VendorId, 4277);
    EXPECT_EQ(card.DeviceId, 0x9056);
    EXPECT_EQ(card.SubVendorId, 0x1172);
    EXPECT_EQ(card.SubDeviceId, 0x3473);
    EXPECT_EQ(card.IoBase, 0xD000u);
    EXPECT_EQ(card.IoResourceStart, 0x10000u);
    EXPECT_EQ(card.Control, 0x000c0000u);
    EXPECT_EQ(card.Bar3Address, 0xe0000000u);
    EXPECT_EQ(card.Bar3Size, 256u);
    EXPECT_EQ(card.Bar3PageOffset, 0x300u);
    EXPECT_FALSE(card.Decoding);
    EXPECT_EQ(card.Enable, 3);
    EXPECT_FALSE(card.Symlink);
    EXPECT_EQ(card.Group, 12);
    EXPECT_EQ(card.Driver, "vfio-pci");
    EXPECT_TRUE(CheckSimCards({card}, &error)) << error;

    ASSERT_TRUE(ParseSimCard("control=0", &card, &error)) << error;
    EXPECT_EQ(card.Bus, 1) << "each card starts from the defaults";
    EXPECT_EQ(card.Control, 0u);
}

}  // namespace
