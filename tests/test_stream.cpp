// End to end: the real program against a simulated bus, with every byte it
// stores into the card's data window recorded and compared byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "tests/test_support.h"
#include "tools/simbus/sim_bus.h"
#include "tools/testkit/files.h"
#include "watch_run.h"

namespace {

const std::string PADDING(24, '\xFF');

std::string Text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string Reversed(const Bytes& bytes)
{
    std::string out;
    for (uint8_t byte : bytes)
        out += static_cast<char>(ReverseBits(byte));
    return out;
}

std::string StreamBitFile(const Bytes& data, uint32_t declared)
{
    return Text(BitFile({"stream_top.ncd;UserID=0xFFFFFFFF", "3s50atq144", "2024/05/17",
                         "10:42:00"},
                        declared, data));
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(scratch_.Path().empty()); }

    // Lays out a fresh bus with card alone on it; false (with a failure) if
    // it cannot.
    bool MakeBus(const SimCard& card)
    {
        std::error_code ignored;
        std::filesystem::remove_all(Sys(), ignored);
        std::string error;
        const bool made = MakeSimBus(Sys(), {card}, &error);
        EXPECT_TRUE(made) << error;
        return made;
    }
    std::string Sys() const { return scratch_.Path() + "/sys"; }

    Recording Program(const std::string& fileBytes, const std::string& name,
                      Command::Output output = Command::Output::Captured)
    {
        const std::string path = scratch_.Path() + "/" + name;
        WriteFile(path, fileBytes);
        Command command{VELDRAN_PROGRAM, {path, "0"}, {{"VELDRAN_SYSFS_ROOT", Sys()}}};
        command.Stdout = output;
        Recording rec = RunRecorded(command, scratch_.Path());
        std::printf("[ stream ] %s\n", rec.Summary().c_str());
        return rec;
    }

    TempFolder scratch_;
};

// The recorder must have watched the run, or nothing can be said.
#define REQUIRE_WATCHED(rec)                                                         \
    do {                                                                             \
        ASSERT_TRUE((rec).Problem.empty()) << (rec).Problem << "\n" << (rec).Run.Err; \
        if (!(rec).Watched())                                                        \
            SKIP_OR_FAIL_ON_CI((rec).Summary());                                     \
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
// at the window's start, not at the start of the mapping. And all the data
// after the header, whatever length it declares.
TEST_F(StreamTest, BitFileDataIsSentBitReversedThenPadding)
{
    const Bytes data = Pattern(8000, 1);
    SimCard offset_card;
    offset_card.Bar3Size = 16;
    offset_card.Bar3PageOffset = 0x30;
    const std::pair<SimCard, uint32_t> cases[] = {{SimCard{}, 8000}, {offset_card, 100}};
    for (const auto& [card, declared] : cases) {
        SCOPED_TRACE("BAR 3 page offset " + std::to_string(card.Bar3PageOffset) + ", declared " +
                     std::to_string(declared));
        if (!MakeBus(card))
            return;
        const Recording rec = Program(StreamBitFile(data, declared), "design.bit");
        REQUIRE_WATCHED(rec);
        EXPECT_EQ(0, rec.Run.Status) << rec.Run.Err;
        EXPECT_TRUE(SameStream(Reversed(data) + PADDING, rec.Stored));
    }
}

TEST_F(StreamTest, PromImageIsSentUnchangedFromItsFirstByte)
{
    if (!MakeBus(SimCard{}))
        return;
    const std::string image = Text(PromImage(10000));
    const Recording rec = Program(image, "design.prom");
    REQUIRE_WATCHED(rec);
    EXPECT_EQ(0, rec.Run.Status) << rec.Run.Err;
    EXPECT_TRUE(SameStream(image + PADDING, rec.Stored));
}

// The countdown tells the operator the run is alive: each figure must have
// reached the console, a log file here, before its block is sent, not
// when the run ends.
TEST_F(StreamTest, EachCountdownFigureIsShownBeforeItsBlockIsSent)
{
    if (!MakeBus(SimCard{}))
        return;
    constexpr std::size_t BLOCK = 16384;
    const Recording rec =
        Program(Text(PromImage(2 * BLOCK + BLOCK / 2)), "design.prom", Command::Output::File);
    REQUIRE_WATCHED(rec);
    EXPECT_EQ(0, rec.Run.Status) << rec.Run.Err;
    // What remains before each block, as the figures are printed.
    const std::string programming = "\nProgramming...\n";
    const std::string figures[] = {"40960 \r", "24576 \r", "8192  \r"};
    const std::string& out = rec.Run.Out;
    std::size_t shown = out.find(programming + figures[0]);
    ASSERT_NE(shown, std::string::npos) << out;
    shown += programming.size();
    for (std::size_t block = 0; block < 3; ++block) {
        ASSERT_EQ(out.compare(shown, figures[block].size(), figures[block]), 0) << out;
        shown += figures[block].size();
        EXPECT_EQ(rec.ConsoleAt(block * BLOCK), static_cast<long long>(shown))
            << "at the first store of block " << block;
    }
}

}  // namespace
