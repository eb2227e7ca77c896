// The control/status register, the DONE confirmation and the byte writers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>

#include "card/byte_writers.h"
#include "card/control_register.h"
#include "card/window_guard.h"
#include "run/run_state.h"
#include "tests/fake_plx.h"
#include "tests/test_support.h"

using ::testing::ElementsAre;
using ::testing::KilledBySignal;

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
}

// Against a reversal worked out bit by bit, not the program's own table: a
// wrong table that is still its own inverse would pass a round trip.
TEST_F(ControlTest, WritersStoreEveryValueToTheFirstByteOfTheWindow)
{
    for (unsigned value = 0; value < 256; ++value) {
        const uint8_t byte = static_cast<uint8_t>(value);
        WriteByteReversed(&byte, 1);
        EXPECT_EQ(Fake.Window[0], ReverseBits(byte)) << value;
        WriteByteRaw(&byte, 1);
        EXPECT_EQ(Fake.Window[0], value);
    }
    for (int i = 1; i < 64; ++i)
        EXPECT_EQ(Fake.Window[i], 0) << "the address must never advance";
}

// Only a block's last store stays in the window, so every byte of the data
// is made the last of a block: a block that starts late, stops early or
// runs backwards leaves another value there.
TEST_F(ControlTest, BlocksEndWithTheirLastByteThroughEitherWriter)
{
    const Bytes data = Pattern(300);
    for (auto writer : {WriteByteReversed, WriteByteRaw}) {
        for (std::size_t count = 1; count <= data.size(); ++count) {
            const uint8_t byte = data[count - 1];
            const uint8_t last = writer == WriteByteReversed ? ReverseBits(byte) : byte;
            Fake.Window[0] = static_cast<uint8_t>(~last);
            writer(data.data(), count);
            ASSERT_EQ(Fake.Window[0], last) << count << " bytes";
        }
    }
    EXPECT_EQ(Fake.Window[1], 0);
}

// Two pages of a file cut to nothing: every store into them raises SIGBUS,
// as into a window whose card went away. The window's page is the guard's
// business; a bus error anywhere else still ends the process.
TEST_F(ControlTest, WindowGuardTakesBusErrorsOfTheWindowsPageOnly)
{
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::string path = TempFile(Bytes(2 * page));
    const int fd = open(path.c_str(), O_RDWR);
    void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    State.DataWindow = static_cast<uint8_t*>(pages) + 0x10;
    void (*store)(void*) = [](void* at) { *static_cast<volatile uint8_t*>(at) = 1; };
    EXPECT_FALSE(RunWithWindowGuard(store, static_cast<uint8_t*>(pages) + page - 1));
    EXPECT_EXIT(RunWithWindowGuard(store, static_cast<uint8_t*>(pages) + page),
                KilledBySignal(SIGBUS), "");
    munmap(pages, 2 * page);
}
