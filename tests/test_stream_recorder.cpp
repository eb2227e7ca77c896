// The store recorder itself, proven against a small stand-in program before
// the stream tests trust it with the real one.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "tests/test_support.h"
#include "tools/simbus/sim_bus.h"
#include "tools/testkit/files.h"
#include "tools/testkit/samples.h"
#include "watch_run.h"

namespace {

// Every value, then a run of equal bytes (a recorder that only sees changes
// would lose them), then a long tail.
std::string Data(std::size_t size)
{
    const Bytes pattern = Pattern(size);
    std::string data(pattern.begin(), pattern.end());
    data.replace(300, 64, 64, '\xA5');
    return data;
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(scratch_.Path().empty()); }

    // A card whose 16-byte BAR 3 starts inPage bytes into its page.
    void MakeDevice(unsigned inPage)
    {
        SimCard card;
        card.Bar3Size = 16;
        card.Bar3PageOffset = inPage;
        const std::string sys = scratch_.Path() + "/sys" + std::to_string(inPage);
        std::string error;
        ASSERT_TRUE(MakeSimBus(sys, {card}, &error)) << error;
        device_ = SimDevicePath(sys, card);
    }

    Recording Run(const std::string& data, const std::string& mode = "")
    {
        const std::string input = scratch_.Path() + "/input.bin";
        WriteFile(input, data);
        Command command{FAKE_WRITER, {device_, input}, {}};
        if (!mode.empty())
            command.Args.push_back(mode);
        Recording rec = RunRecorded(command, scratch_.Path());
        std::printf("[ recorder ] %s\n", rec.Summary().c_str());
        return rec;
    }

    TempFolder scratch_;
    std::string device_;
};

// Wherever in its page the window starts, every store is caught; a
// recorder that cannot prove itself says why and claims nothing.
TEST_F(RecorderTest, RecordsEveryStoreWhereverTheWindowStarts)
{
    const std::string data = Data(2000);
    for (unsigned inPage : {0u, 0xFF0u}) {
        SCOPED_TRACE("window at page offset " + std::to_string(inPage));
        MakeDevice(inPage);
        const Recording rec = Run(data);
        ASSERT_TRUE(rec.Problem.empty()) << rec.Problem << "\n" << rec.Run.Err;
        EXPECT_EQ(0, rec.Run.Status) << rec.Run.Err;
        if (!rec.Watched()) {
            EXPECT_FALSE(rec.Info.at("reason").empty());
            EXPECT_EQ("", rec.Stored) << "not proven, yet bytes were claimed";
            SKIP_OR_FAIL_ON_CI(rec.Summary());
        }
        EXPECT_EQ("1", rec.Info.at("windows"));
        EXPECT_EQ(std::to_string(data.size()), rec.Info.at("stores"));
        EXPECT_TRUE(rec.Stored == data) << "recorded " << rec.Stored.size() << " bytes";
    }
}

// A store beside the window is neither recorded nor lost: the program must
// still find it in the file.
TEST_F(RecorderTest, StoresBesideTheWatchedByteAreNotRecorded)
{
    MakeDevice(0x20);
    const std::string data = Data(700);
    const Recording rec = Run(data, "stray");
    ASSERT_TRUE(rec.Problem.empty()) << rec.Problem << "\n" << rec.Run.Err;
    if (!rec.Watched())
        SKIP_OR_FAIL_ON_CI(rec.Summary());
    EXPECT_EQ(0, rec.Run.Status) << rec.Run.Err;
    EXPECT_TRUE(rec.Stored == data) << "recorded " << rec.Stored.size() << " bytes";
    EXPECT_EQ(std::to_string(data.size()), rec.Info.at("stray"));
    const std::string file = ReadFile(device_ + "/resource3");
    EXPECT_EQ(data.back(), file.at(0x20));
    EXPECT_EQ(static_cast<char>(~data.back()), file.at(0x21));
}

// The recorder takes over SIGSEGV and SIGTRAP; faults that are not its own
// must still end the program instead of being swallowed or looping.
TEST_F(RecorderTest, ForeignFaultsStillEndTheProgram)
{
    MakeDevice(0);
    for (const char* mode : {"segv", "trap"}) {
        SCOPED_TRACE(mode);
        const Recording rec = Run(Data(400), mode);
        EXPECT_NE(128 + SIGALRM, rec.Run.Status) << "the program hung";
        EXPECT_NE(0, rec.Run.Status) << "the fault was swallowed";
    }
}

}  // namespace
