// End to end: the real program against a simulated bus, with every byte it
// stores into the card's data window recorded and compared byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tools/simbus/sim_bus.h"
#include "watch_run.h"

namespace {

const std::string kPadding(24, '\xFF');

std::string Reversed(const std::string& bytes)
{
    std::string out = bytes;
    for (char& c : out) {
        unsigned char v = static_cast<unsigned char>(c), r = 0;
        for (int bit = 0; bit < 8; bit++)
            r |= ((v >> bit) & 1) << (7 - bit);
        c = static_cast<char>(r);
    }
    return out;
}

std::string Text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// The shared test files, as the strings the recorder compares.
std::string Pattern(size_t size, unsigned seed)
{
    return Text(::Pattern(size, seed));
}

std::string BitFile(const std::string& data, uint32_t declared)
{
    return Text(::BitFile({"stream_top.ncd;UserID=0xFFFFFFFF", "3s50atq144", "2024/05/17",
                           "10:42:00"},
                          declared, Bytes(data.begin(), data.end())));
}

std::string PromImage(size_t size)
{
    return Text(::PromImage(size));
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch_ = watch::MakeScratchDir();
        ASSERT_FALSE(scratch_.empty());
    }
    void TearDown() override
    {
        watch::RemoveTree(scratch_);
    }

    // Lays out the bus; returns false (with a failure) if it cannot.
    bool MakeBus(const SimCard& card)
    {
        std::string error;
        const bool made = MakeSimBus(scratch_ + "/sys", {card}, &error);
        EXPECT_TRUE(made) << error;
        return made;
    }

    watch::Recording Program(const std::string& file_bytes, const std::string& name)
    {
        const std::string path = scratch_ + "/" + name;
        watch::WriteFile(path, file_bytes);
        return ProgramPath(path);
    }

    watch::Recording ProgramPath(const std::string& path)
    {
        watch::Launch launch;
        launch.program = VELDRAN_PROGRAM;
        launch.args = {path, "0"};
        launch.env = {{"VELDRAN_SYSFS_ROOT", scratch_ + "/sys"}};
        launch.scratch = scratch_;
        watch::Recording rec = watch::RunRecorded(launch);
        std::printf("[ stream ] %s\n", rec.Summary().c_str());
        return rec;
    }

    std::string scratch_;
};

// The recorder must have watched the run, or nothing can be said.
#define REQUIRE_WATCHED(rec)                                                         \
    do {                                                                             \
        ASSERT_TRUE((rec).problem.empty()) << (rec).problem << "\n" << (rec).output; \
        if (!(rec).Watched())                                                        \
            GTEST_SKIP() << (rec).Summary();                                         \
    } while (0)

// Compares without printing megabytes: where they first differ, and sizes.
::testing::AssertionResult SameStream(const std::string& expected, const std::string& got)
{
    if (expected == got)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < expected.size() && at < got.size() && expected[at] == got[at])
        at++;
    char where[160];
    std::snprintf(where, sizeof where, "expected %zu bytes, recorded %zu; first difference at %zu",
                  expected.size(), got.size(), at);
    std::string text = where;
    if (at < expected.size() && at < got.size()) {
        std::snprintf(where, sizeof where, " (expected 0x%02x, got 0x%02x)",
                      static_cast<unsigned char>(expected[at]),
                      static_cast<unsigned char>(got[at]));
        text += where;
    }
    return ::testing::AssertionFailure() << text;
}

// Also with BAR 3 starting part-way into its page: the program must store
// at the window's start, not at the start of the mapping.
TEST_F(StreamTest, BitFileDataIsSentBitReversedThenPadding)
{
    SimCard offset_card;
    offset_card.Bar3Size = 16;
    offset_card.Bar3PageOffset = 0x30;
    for (const SimCard& card : {SimCard{}, offset_card}) {
        SCOPED_TRACE("BAR 3 page offset " + std::to_string(card.Bar3PageOffset));
        watch::RemoveTree(scratch_ + "/sys");
        if (!MakeBus(card))
            return;
        const std::string data = Pattern(8000, 1);
        const watch::Recording rec = Program(BitFile(data, data.size()), "design.bit");
        REQUIRE_WATCHED(rec);
        EXPECT_EQ(0, rec.exit_code) << rec.output;
        EXPECT_TRUE(SameStream(Reversed(data) + kPadding, rec.bytes));
    }
}

TEST_F(StreamTest, PromImageIsSentUnchangedFromItsFirstByte)
{
    if (!MakeBus(SimCard{}))
        return;
    const std::string image = PromImage(10000);
    const watch::Recording rec = Program(image, "design.prom");
    REQUIRE_WATCHED(rec);
    EXPECT_EQ(0, rec.exit_code) << rec.output;
    EXPECT_TRUE(SameStream(image + kPadding, rec.bytes));
}

// The declared length is not a limit: all the data that follows is sent.
TEST_F(StreamTest, BitFileDataBeyondItsDeclaredLengthIsSentToo)
{
    if (!MakeBus(SimCard{}))
        return;
    const std::string data = Pattern(6000, 3);
    const watch::Recording rec = Program(BitFile(data, 2500), "longer.bit");
    REQUIRE_WATCHED(rec);
    EXPECT_EQ(0, rec.exit_code) << rec.output;
    EXPECT_TRUE(SameStream(Reversed(data) + kPadding, rec.bytes));
}

TEST_F(StreamTest, RealBitFileIsSentWholeAndBitReversed)
{
    const std::string path = std::string(VELDRAN_BITFILES_DIR) + "/spartan3a-picoblaze3-soc.bit";
    if (!std::filesystem::exists(path)) {
        GTEST_SKIP() << "sample bitstreams not found at " << VELDRAN_BITFILES_DIR
                     << " (the shared test data is not beside this checkout)";
    }
    const std::string file = watch::ReadFile(path);
    ASSERT_EQ(54751u, file.size());
    if (!MakeBus(SimCard{}))
        return;
    const watch::Recording rec = ProgramPath(path);
    REQUIRE_WATCHED(rec);
    EXPECT_EQ(0, rec.exit_code) << rec.output;
    EXPECT_TRUE(SameStream(Reversed(file.substr(87)) + kPadding, rec.bytes));
}

// A run that stops early must not have sent anything to the card.
TEST_F(StreamTest, FailingRunsSendNothing)
{
    SimCard not_done;
    not_done.Control = 0x0;
    struct Case {
        const char* what;
        SimCard card;
        std::string file;
    } cases[] = {
        {"DONE status bit clear", not_done, PromImage(4000)},
        {"not a configuration file", SimCard{}, std::string(4000, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        watch::RemoveTree(scratch_ + "/sys");
        if (!MakeBus(c.card))
            return;
        const watch::Recording rec = Program(c.file, "input.prom");
        REQUIRE_WATCHED(rec);
        EXPECT_NE(0, rec.exit_code) << rec.output;
        EXPECT_EQ(0, rec.signal);
        EXPECT_EQ(0u, rec.bytes.size()) << "bytes were sent";
    }
}

}  // namespace
