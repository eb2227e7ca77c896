// The simulated bus itself: the veldran-simbus command line that scripts
// and the end-to-end tests use, and how MakeSimBus treats an existing root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "card/plx_api.h"
#include "tests/plx_key.h"
#include "tools/simbus/sim_bus.h"

namespace {

struct ToolRun {
    int Exit = -1;
    std::string Out;
};

// Runs veldran-simbus with args; its stdout is captured, stderr dropped.
ToolRun Simbus(const std::vector<std::string>& args)
{
    ToolRun run;
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return run;
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(VELDRAN_SIMBUS_EXE));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        dup2(pipeFds[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        close(pipeFds[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        run.Out.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.Exit = WEXITSTATUS(status);
    return run;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class SimbusTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(temp_.Path().empty());
        root_ = temp_.Path() + "/sys";
        ASSERT_EQ(setenv("VELDRAN_SYSFS_ROOT", root_.c_str(), 1), 0);
    }
    void TearDown() override
    {
        if (device_.IsOpen == 1)
            PlxPci_DeviceClose(&device_);
        unsetenv("VELDRAN_SYSFS_ROOT");
    }

    SimTempRoot temp_;
    std::string root_;
    DeviceObject device_{};
};

// The README's demo, in short: make a bus, drive the card, look at the
// register.
TEST_F(SimbusTool, MakesCardsTheLayerDrivesAndReportsTheControlRegister)
{
    ToolRun made = Simbus({root_, "addr=0000:02:00.0,subsys=0x3312,io=0xd000,control=0x00040002",
                       "addr=0000:01:00.0,device=0x9056", "addr=0001:02:00.0,decode=0"});
    ASSERT_EQ(made.Exit, 0);
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

    ToolRun control = Simbus({"--control", root_, "0000:02:00.0"});
    EXPECT_EQ(control.Exit, 0);
    EXPECT_EQ(control.Out, "0x00010002\n");

    key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 1), PLX_STATUS_OK);
    DeviceObject notDecoding{};
    EXPECT_NE(PlxPci_DeviceOpen(&key, &notDecoding), PLX_STATUS_OK);

    EXPECT_EQ(Simbus({"--control", root_, "0000:03:00.0"}).Exit, 1) << "no such card";
}

TEST_F(SimbusTool, NoCardMeansOneDefaultCard)
{
    ASSERT_EQ(Simbus({root_}).Exit, 0);
    EXPECT_TRUE(Exists(root_ + "/bus/pci/devices/0000:01:00.0"));
    EXPECT_EQ(Simbus({"--control", root_, "0000:01:00.0"}).Out, "0x00000002\n");
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
        {root_, "addr=0000:02:00"},
        {root_, "addr=0000:02:20.0"},
        {root_, "addr=0000:0A:00.0"},
        {root_, "io=0xe001"},
        {root_, "io=12abc"},
        {root_, "io="},
        {root_, "io=-1"},
        {root_, "vendor=0x10000"},
        {root_, "control=0x100000000"},
        {root_, "control=99999999999999999999999"},
        {root_, "decode=2"},
        {root_, "bogus=1"},
        {root_, "io"},
        {root_, ""},
        {root_, "io=0xe000,"},
        {root_, "io=0xe000,io=0xd000"},
        {root_, "bar3size=100"},
        {root_, "bar3size=256,bar3offset=0x80"},
        {root_, "bar3offset=0x1000"},
        {root_, "addr=0000:01:00.0", "addr=0000:01:00.0"},
        {root_, "addr=0000:02:00.0", "io=0xe001"},
        {"--control", root_},
        {"--control", root_, "0000:01:00.0", "extra"},
        {"--control", root_, "1:00.0"},
    };
    for (const std::vector<std::string>& args : bad) {
        std::string shown;
        for (const std::string& arg : args)
            shown += "'" + arg + "' ";
        EXPECT_EQ(Simbus(args).Exit, 2) << shown;
        EXPECT_FALSE(Exists(root_)) << shown;
    }
}

TEST_F(SimbusTool, AddsToAnExistingRootButOverwritesNoDevice)
{
    ASSERT_EQ(Simbus({root_, "addr=0000:01:00.0,control=0x11"}).Exit, 0);
    ASSERT_EQ(Simbus({root_, "addr=0000:02:00.0,symlink=0"}).Exit, 0);
    EXPECT_EQ(Simbus({root_, "addr=0000:01:00.0,control=0x22"}).Exit, 1);
    EXPECT_EQ(Simbus({"--control", root_, "0000:01:00.0"}).Out, "0x00000011\n");

    SimCard card;
    card.Bus = 2;
    std::string error;
    EXPECT_FALSE(MakeSimBus(root_, {card}, &error));
    EXPECT_NE(error, "");
    card.Bus = 3;
    EXPECT_TRUE(MakeSimBus(root_, {card}, &error)) << error;

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
                             "bar3addr=0xe0000000,bar3size=256,bar3offset=0x300,decode=0,symlink=0",
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
    EXPECT_FALSE(card.Symlink);
    EXPECT_TRUE(CheckSimCards({card}, &error)) << error;

    ASSERT_TRUE(ParseSimCard("control=0", &card, &error)) << error;
    EXPECT_EQ(card.Bus, 1) << "each card starts from the defaults";
    EXPECT_EQ(card.Control, 0u);
}

}  // namespace
