// The command line, the fatal-exit path and the release of the card.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/arguments.h"
#include "app/entry.h"
#include "run/run_state.h"
#include "tests/fake_plx.h"
#include "tests/test_support.h"

using ::testing::ExitedWithCode;
using ::testing::StrEq;

TEST(CardNumber, AcceptsWhatTheScannerReadsAsZeroToFifteen)
{
    struct Case {
        const char* text;
        unsigned card;
    } accepted[] = {{"0", 0}, {"15", 15}, {"3abc", 3}, {" 2", 2}, {"\t 7x", 7},
                    {"+4", 4}, {"-0", 0}, {"0007", 7}};
    for (const auto& c : accepted) {
        unsigned card = 99;
        EXPECT_TRUE(ParseCardNumber(c.text, &card)) << c.text;
        EXPECT_EQ(card, c.card) << c.text;
    }
}

TEST(CardNumber, RejectsAnythingElseWithoutWrapping)
{
    // Values the scanner would wrap back into range must not pick a card.
    const char* rejected[] = {"16",          "-1",          "abc", "",    " ",
                              "4294967296",  "-4294967295", "-",   "+",   "x3",
                              "99999999999999999999999999999", "4294967311"};
    for (const char* text : rejected) {
        unsigned card = 99;
        EXPECT_FALSE(ParseCardNumber(text, &card)) << text;
        EXPECT_EQ(card, 99u) << text;
    }
}

class RunSequence : public ::testing::Test {
protected:
    void SetUp() override { ResetFake(); }
};

TEST_F(RunSequence, WrongArgumentCountEndsWithUsageAndNoCardAccess)
{
    char prog[] = "veldran", a[] = "a", b[] = "b", c[] = "c";
    char* one[] = {prog, nullptr};
    char* two[] = {prog, a, nullptr};
    char* four[] = {prog, a, b, c, nullptr};
    EXPECT_EXIT(ParseArguments(1, one), ExitedWithCode(EXIT_USAGE), StrEq(""));
    EXPECT_EXIT(ParseArguments(2, two), ExitedWithCode(EXIT_USAGE), StrEq(""));
    EXPECT_EXIT(ParseArguments(4, four), ExitedWithCode(EXIT_USAGE), StrEq(""));
    EXPECT_TRUE(ReadFakeLog().empty());
}

TEST_F(RunSequence, MissingFileIsReportedBeforeTheCardNumber)
{
    char prog[] = "veldran", file[] = "/nonexistent/veldran.bit", card[] = "99";
    char* argv[] = {prog, file, card, nullptr};
    EXPECT_EXIT(ParseArguments(3, argv), ExitedWithCode(EXIT_NOT_FOUND),
                StrEq(ErrorBlock("File not found: /nonexistent/veldran.bit")));
    EXPECT_TRUE(ReadFakeLog().empty());
}

TEST_F(RunSequence, BadCardNumberIsReportedWithoutTouchingTheCard)
{
    std::string path = TempFile(PromImage(600));
    char prog[] = "veldran", card[] = "16";
    char* argv[] = {prog, path.data(), card, nullptr};
    EXPECT_EXIT(ParseArguments(3, argv), ExitedWithCode(EXIT_NOT_FOUND),
                StrEq(ErrorBlock("Invalid card number: 16")));
    EXPECT_TRUE(ReadFakeLog().empty());
}

TEST_F(RunSequence, BadFileAfterTheCardIsOpenUnmapsThenCloses)
{
    std::string path = TempFile(Bytes{0x01, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    char prog[] = "veldran", card[] = "0";
    char* argv[] = {prog, path.data(), card, nullptr};
    EXPECT_EXIT(VeldranMain(3, argv), ExitedWithCode(EXIT_BAD_FILE),
                StrEq(ErrorBlock("Unknown file type.")));
    EXPECT_EQ(ReleaseCalls(), "Unmap;Close;");
}
