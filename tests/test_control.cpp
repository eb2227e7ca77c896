// The control/status register, the DONE confirmation and the byte writers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>

#include "app/run_state.h"
#include "card/byte_writers.h"
#include "card/control_register.h"
#include "tests/fake_plx.h"
#include "tests/test_support.h"

using ::testing::ElementsAre;
using ::testing::ExitedWithCode;
using ::testing::StrEq;

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetFake();
        State.ControlPort = 0xE06C;
        State.DataWindow = Fake.Window;
    }
};

TEST_F(ControlTest, ReadModifyWriteKeepsEveryOtherBit)
{
    Fake.Register = 0xFFFFFFFF;
    ControlClearProgramBit();
    Fake.Register = 0;
    ControlSetModeBits();
    Fake.Register = 0x00000002;
    ControlSetProgramBit();
    EXPECT_THAT(Fake.Written, ElementsAre(0xFFFEFFFFu, 0x000C0000u, 0x00010002u));
    // Always the 32-bit register at the control port, as 4-byte accesses.
    EXPECT_EQ(Fake.Calls[0], "PortRead 57452 4 2");
    EXPECT_EQ(Fake.Calls[1], "PortWrite 57452 4 2 0xFFFEFFFF");
}

TEST_F(ControlTest, RegisterFailuresEndWithTheirOwnMessage)
{
    Fake.FailPortReadAt = 0;
    EXPECT_EXIT(ControlSetModeBits(), ExitedWithCode(EXIT_CARD_ACCESS),
                StrEq(ErrorBlock("Can't access 9054 card control register.\n")));
    EXPECT_EXIT(ReadStatus(), ExitedWithCode(EXIT_CARD_ACCESS),
                StrEq(ErrorBlock("Can't access 9054 card status register.\n")));
    Fake.FailPortReadAt = -1;
    Fake.FailPortWriteAt = 0;
    EXPECT_EXIT(ControlSetProgramBit(), ExitedWithCode(EXIT_CARD_ACCESS),
                StrEq(ErrorBlock("Can't access 9054 card control register.\n")));
}

TEST_F(ControlTest, DoneMustHoldOnOneHundredAndOneReads)
{
    for (int i = 0; i < 100; ++i)
        Fake.ScriptedReads.push_back(DONE_BIT);
    Fake.ScriptedReads.push_back(0);
    EXPECT_EQ(ConfirmDone(), -1);
    EXPECT_EQ(Fake.PortReads, 101);

    ResetFake();
    Fake.Register = DONE_BIT;
    EXPECT_EQ(ConfirmDone(), 0);
    EXPECT_EQ(Fake.PortReads, 101);

    // One clear read in the middle fails at once; the check never waits.
    ResetFake();
    Fake.ScriptedReads = {DONE_BIT, DONE_BIT, 0};
    Fake.Register = DONE_BIT;
    EXPECT_EQ(ConfirmDone(), -1);
    EXPECT_EQ(Fake.PortReads, 3);
}

TEST_F(ControlTest, OneTickIsAtLeastAMillisecondOfClock)
{
    const clock_t start = std::clock();
    WaitOneTick();
    EXPECT_GE(std::clock() - start, CLOCKS_PER_SEC / 1000);
}

TEST_F(ControlTest, WritersStoreToTheFirstByteOfTheWindow)
{
    const uint8_t expected[][2] = {{0x01, 0x80}, {0x02, 0x40}, {0x03, 0xC0}, {0x0F, 0xF0},
                                   {0x55, 0xAA}, {0xAA, 0x55}, {0xFF, 0xFF}, {0x00, 0x00}};
    for (const auto& e : expected) {
        WriteByteReversed(e[0]);
        EXPECT_EQ(Fake.Window[0], e[1]);
    }
    WriteByteRaw(0xAA);
    EXPECT_EQ(Fake.Window[0], 0xAA);
    for (unsigned i = 0; i < 256; ++i)
        EXPECT_EQ(BitReverseTable[BitReverseTable[i]], i);
    for (int i = 1; i < 64; ++i)
        EXPECT_EQ(Fake.Window[i], 0) << "the address must never advance";
}

static Bytes recorded;
static void RecordingWriter(uint8_t byte)
{
    recorded.push_back(byte);
}

TEST_F(ControlTest, BlocksGoThroughTheChosenWriter)
{
    const Bytes data = {0x01, 0x02, 0x03};
    State.ByteWriter = WriteByteReversed;
    WriteBlock(data.data(), data.size());
    EXPECT_EQ(Fake.Window[0], 0xC0);
    State.ByteWriter = WriteByteRaw;
    WriteBlock(data.data(), 2);
    EXPECT_EQ(Fake.Window[0], 0x02);
    recorded.clear();
    State.ByteWriter = RecordingWriter;
    WriteBlock(data.data(), data.size());
    EXPECT_EQ(recorded, data);
    EXPECT_EQ(Fake.Window[1], 0);
}
