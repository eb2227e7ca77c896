// The store recorder itself, proven against a small stand-in program before
// the stream tests trust it with the real one.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "watch_run.h"

namespace {

struct Way {
    const char* method;
    const char* emulate;  // "0": every store single-stepped
};
const Way kWays[] = {{"auto", "1"}, {"step", "1"}, {"step", "0"}, {"watchpoint", "1"}};

// Every value, runs of equal bytes (a recorder that only sees changes
// would lose them) and a long tail.
std::string Pattern(size_t size)
{
    std::string data;
    for (size_t i = 0; i < size; i++) {
        const bool run = (i / 64) % 4 == 1;
        data += static_cast<char>(run ? 0xA5 : (i * 7 + i / 256) & 0xFF);
    }
    return data;
}

std::string ResourceLine(unsigned long long start, unsigned long long end)
{
    char line[64];
    std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n", start, end,
                  start ? 0x40200ULL : 0ULL);
    return line;
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch_ = watch::MakeScratchDir();
        ASSERT_FALSE(scratch_.empty());
        device_ = scratch_ + "/0000:01:00.0";
        ASSERT_EQ(0, mkdir(device_.c_str(), 0755));
    }
    void TearDown() override
    {
        watch::RemoveTree(scratch_);
    }

    // A device folder whose BAR 3 starts `in_page` bytes into its page.
    void MakeDevice(unsigned in_page)
    {
        std::string resource;
        for (int bar = 0; bar < 7; bar++) {
            const unsigned long long start = bar == 3 ? 0xF0000000ULL + in_page : 0;
            resource += ResourceLine(start, start ? start + 15 : 0);
        }
        watch::WriteFile(device_ + "/resource", resource);
        watch::WriteFile(device_ + "/resource3", std::string(8192, '\0'));
    }

    watch::Recording Run(const std::string& data, const std::string& mode, const Way& way)
    {
        watch::WriteFile(scratch_ + "/input.bin", data);
        watch::Launch launch;
        launch.program = FAKE_WRITER;
        launch.args = {device_, scratch_ + "/input.bin"};
        if (!mode.empty())
            launch.args.push_back(mode);
        launch.env = {{"VELDRAN_WATCH_METHOD", way.method}, {"VELDRAN_WATCH_EMULATE", way.emulate}};
        launch.scratch = scratch_;
        watch::Recording rec = watch::RunRecorded(launch);
        std::printf("[ recorder ] %s (asked: %s, emulate %s)\n", rec.Summary().c_str(), way.method,
                    way.emulate);
        return rec;
    }

    std::string scratch_;
    std::string device_;
};

// A method that cannot be proven must say why and claim nothing; one that
// can must catch every store, wherever in its page the window starts.
TEST_F(RecorderTest, EachProvenMethodRecordsEveryStore)
{
    const std::string data = Pattern(2000);
    int proven = 0;
    for (unsigned in_page : {0u, 0xFF0u}) {
        MakeDevice(in_page);
        for (const Way& way : kWays) {
            SCOPED_TRACE(std::string(way.method) + ", emulate " + way.emulate +
                         ", window at page offset " + std::to_string(in_page));
            const watch::Recording rec = Run(data, "", way);
            ASSERT_TRUE(rec.problem.empty()) << rec.problem << "\n" << rec.output;
            EXPECT_EQ(0, rec.exit_code) << rec.output;
            if (!rec.Watched()) {
                EXPECT_FALSE(rec.info.at("reason").empty());
                EXPECT_EQ("", rec.bytes) << "no proven method, yet bytes were claimed";
                continue;
            }
            proven++;
            EXPECT_EQ("1", rec.info.at("windows"));
            EXPECT_EQ(std::to_string(data.size()), rec.info.at("stores"));
            if (std::string(way.emulate) == "0") {
                EXPECT_EQ("0", rec.info.at("emulated"));
            }
            EXPECT_TRUE(rec.bytes == data) << "recorded " << rec.bytes.size() << " bytes";
        }
    }
    if (proven == 0)
        GTEST_SKIP() << "no recording method works on this machine";
}

// Carried out or stepped, a store beside the window is neither recorded nor
// lost: the program must still find it in the file.
TEST_F(RecorderTest, StoresBesideTheWatchedByteAreNotRecorded)
{
    MakeDevice(0x20);
    const std::string data = Pattern(700);
    for (const Way& way : {kWays[1], kWays[2]}) {
        SCOPED_TRACE(std::string("emulate ") + way.emulate);
        const watch::Recording rec = Run(data, "stray", way);
        ASSERT_TRUE(rec.problem.empty()) << rec.problem << "\n" << rec.output;
        if (!rec.Watched())
            GTEST_SKIP() << rec.Summary();
        EXPECT_EQ(0, rec.exit_code) << rec.output;
        EXPECT_TRUE(rec.bytes == data) << "recorded " << rec.bytes.size() << " bytes";
        EXPECT_EQ(std::to_string(data.size()), rec.info.at("stray"));
        const std::string file = watch::ReadFile(device_ + "/resource3");
        EXPECT_EQ(data.back(), file.at(0x20));
        EXPECT_EQ(static_cast<char>(~data.back()), file.at(0x21));
    }
}

// The recorder takes over SIGSEGV and SIGTRAP; faults that are not its own
// must still end the program instead of being swallowed or looping.
TEST_F(RecorderTest, ForeignFaultsStillEndTheProgram)
{
    MakeDevice(0);
    for (const char* mode : {"segv", "trap"}) {
        SCOPED_TRACE(mode);
        const watch::Recording rec = Run(Pattern(100), mode, kWays[0]);
        EXPECT_NE(SIGALRM, rec.signal) << "the program hung";
        EXPECT_FALSE(rec.exit_code == 0 && rec.signal == 0) << "the fault was swallowed";
    }
}

}  // namespace
