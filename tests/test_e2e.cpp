// The real program against simulated buses: standard output, standard
// error and exit status, byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "card/open_card.h"
#include "tests/test_support.h"
#include "tools/simbus/sim_bus.h"
#include "tools/testkit/files.h"
#include "tools/testkit/process.h"

namespace {

// Runs the real program against the simulated bus at root.
Outcome RunVeldran(const std::vector<std::string>& args, const std::string& root)
{
    return RunProcess({VELDRAN_BINARY, args, {{"VELDRAN_SYSFS_ROOT", root}}});
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(temp.Path().empty());
        root = temp.Path() + "/sys";
        prom = TempFile(PromImage(600));
    }
    void MakeBus(const std::vector<SimCard>& cards)
    {
        std::string error;
        ASSERT_TRUE(MakeSimBus(root, cards, &error)) << error;
    }
    TempFolder temp;
    std::string root;
    std::string prom;
};

SimCard CardAt(uint8_t bus, uint16_t subsys = 0x3311)
{
    SimCard card;
    card.Bus = bus;
    card.SubDeviceId = subsys;
    card.IoBase = 0xE000 - 0x100u * bus;
    card.Bar3Address = 0xF0000000u + 0x100000u * bus;
    return card;
}

TEST_F(EndToEnd, WrongArgumentCountPrintsUsageOnly)
{
    MakeBus({CardAt(1)});
    const std::vector<std::vector<std::string>> counts = {{}, {prom}, {prom, "0", "extra"}};
    for (const auto& args : counts) {
        const Outcome r = RunVeldran(args, root);
        EXPECT_EQ(r.Status, 100);
        EXPECT_EQ(r.Out, BANNER + USAGE);
        EXPECT_EQ(r.Err, "");
    }
    EXPECT_EQ(ReadSimControl(root, CardAt(1)), 0x00000002u) << "no card access";
}

TEST_F(EndToEnd, CardNumbersAreCheckedAfterTheFile)
{
    std::vector<SimCard> cards;
    for (uint8_t bus = 1; bus <= 4; ++bus)
        cards.push_back(CardAt(bus));
    MakeBus(cards);
    for (const char* bad : {"16", "-1", "abc", "4294967296", "-4294967295", ""}) {
        const Outcome r = RunVeldran({prom, bad}, root);
        EXPECT_EQ(r.Status, 101) << bad;
        EXPECT_EQ(r.Out, BANNER) << bad;
        EXPECT_EQ(r.Err, ErrorBlock("Invalid card number: " + std::string(bad)));
    }
    Outcome r = RunVeldran({"/nonexistent.bit", "16"}, root);
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Err, ErrorBlock("File not found: /nonexistent.bit"));

    // The scanner's reading: digits up to the first non-digit, blanks first.
    r = RunVeldran({prom, "3abc"}, root);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_THAT(r.Out, ::testing::HasSubstr("bus 4/device 0."));
    r = RunVeldran({prom, " 2"}, root);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_THAT(r.Out, ::testing::HasSubstr("bus 3/device 0."));
}

TEST_F(EndToEnd, NoCardAtThatNumber)
{
    MakeBus({CardAt(1)});
    const Outcome r = RunVeldran({prom, "1"}, root);
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Out, BANNER);
    EXPECT_EQ(r.Err, ErrorBlock("Can't find 9054 card number 1.\n"));
}

TEST_F(EndToEnd, EveryBoardIsNamedAndProgrammed)
{
    // The names themselves are checked against the table in test_open_card.
    uint8_t bus = 1;
    for (uint16_t subsys : {0x3133, 0x3311, 0x3312, 0x3313, 0x3314, 0x3315, 0x3472, 0x3473, 0x1234}) {
        const SimCard card = CardAt(bus++, subsys);
        MakeBus({card});
        char io[8], control[8];
        std::snprintf(io, sizeof io, "%04X", static_cast<unsigned>(card.IoBase));
        std::snprintf(control, sizeof control, "%04X", static_cast<unsigned>(card.IoBase + 0x6C));
        const Outcome r = RunVeldran({prom, std::to_string(bus - 2)}, root);
        EXPECT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(r.Err, "");
        EXPECT_EQ(MaskWindow(r.Out),
                  BANNER + CardLines(card.Bus, 0, BoardMessage(subsys), io, control) + PromRun(600));
        // MODE and PROGRAM left set, DONE untouched.
        EXPECT_EQ(ReadSimControl(root, card), 0x000D0002u);
    }
}

TEST_F(EndToEnd, CardFailuresEndWithTheirStatus)
{
    SimCard deaf = CardAt(1);
    deaf.Decoding = false;
    MakeBus({deaf});
    Outcome r = RunVeldran({prom, "0"}, root);
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(r.Err, ErrorBlock("Can't gain access to 9054 card number 0.\n"));

    SimCard busy = CardAt(2);
    busy.Control = 0;
    MakeBus({busy});
    r = RunVeldran({prom, "1"}, root);
    EXPECT_EQ(r.Status, 102);
    EXPECT_THAT(r.Out, ::testing::EndsWith("\nProgramming...\n"));
    EXPECT_EQ(r.Err,
              ErrorBlock("<DONE> status bit indicates busy at start of programming."));
}

TEST_F(EndToEnd, BadFileIsReportedAfterTheCardDetails)
{
    SimCard card = CardAt(1);
    MakeBus({card});
    const std::string bad = TempFile(Bytes{0x01, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    const Outcome r = RunVeldran({bad, "0"}, root);
    EXPECT_EQ(r.Status, 103);
    EXPECT_EQ(MaskWindow(r.Out),
              BANNER + CardLines(1, 0, "\nFound Quorvel KX-10 card", "DF00", "DF6C"));
    EXPECT_EQ(r.Err, ErrorBlock("Unknown file type."));
}

}  // namespace
