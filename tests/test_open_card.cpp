// Finding, opening and mapping the card through the contract.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "card/open_card.h"
#include "run/run_state.h"
#include "tests/fake_plx.h"
#include "tests/test_support.h"

using ::testing::ElementsAre;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::StrEq;

class OpenCardTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFake(); }
};

TEST_F(OpenCardTest, PrintsWhereTheCardSitsAndItsPorts)
{
    Fake.Bar1 = 0x0000D001;  // the I/O-space indicator bit is set
    ::testing::internal::CaptureStdout();
    OpenCard(2);
    const std::string out = ::testing::internal::GetCapturedStdout();
    char window[64];
    std::snprintf(window, sizeof window, "0x%016lX\n",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(Fake.Window)));
    EXPECT_EQ(out, std::string("\nUsing PCI device at bus 3/device 14.") +
                       "\nFound Quorvel KX-10 card" +
                       "\n\nPLX 9054 configuration I/O base port: 0xD000" +
                       "\nPLX 9054 control/status port:         0xD06C" +
                       "\nPLX 9054 memory base:                 " + window);
    EXPECT_EQ(State.ControlPort, 0xD06Cu);
    EXPECT_EQ(State.DataWindow, Fake.Window);
    EXPECT_EQ(State.DeviceOpen, 1);
    EXPECT_EQ(State.WindowMapped, 1);
    EXPECT_THAT(Fake.Calls, ElementsAre("Find 2", "Open", "ConfigRead 3/14/0 @20", "Map 3", "WindowStore"));
}

TEST_F(OpenCardTest, SmallIoBaseIsPaddedToFourDigits)
{
    Fake.Bar1 = 0x00000043;
    ::testing::internal::CaptureStdout();
    OpenCard(0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("I/O base port: 0x0040\n"));
    EXPECT_THAT(out, HasSubstr("control/status port:         0x00AC\n"));
}

TEST_F(OpenCardTest, EachFailureHasItsStatusAndReleasesOnlyWhatIsHeld)
{
    struct Case {
        PlxStatus FakePlx::*call;
        PlxStatus failure;
        unsigned card;
        int status;
        const char* message;
        const char* released;
    } cases[] = {
        {&FakePlx::FindStatus, 0, 1, EXIT_NOT_FOUND, "Can't find 9054 card number 1.\n", ""},
        {&FakePlx::OpenStatus, 0x201, 4, EXIT_CARD_ACCESS,
         "Can't gain access to 9054 card number 4.\n", ""},
        {&FakePlx::ConfigStatus, 0, 5, EXIT_CARD_ACCESS,
         "Can't read 9054 card number 5 configuration registers.\n", "Close;"},
        {&FakePlx::MapStatus, 0, 6, EXIT_CARD_ACCESS,
         "Can't map 9054 card number 6 base registers.\n", "Close;"},
        // Mapped, but with no way to tell how its bytes reach the card.
        {&FakePlx::StoreStatus, 0, 7, EXIT_CARD_ACCESS,
         "Can't map 9054 card number 7 base registers.\n", "Unmap;Close;"},
    };
    for (const Case& c : cases) {
        ResetFake();
        Fake.*c.call = c.failure;
        EXPECT_EXIT(OpenCard(c.card), ExitedWithCode(c.status), StrEq(ErrorBlock(c.message)));
        EXPECT_EQ(ReleaseCalls(), c.released) << c.message;
    }
}

TEST_F(OpenCardTest, ImpossibleWindowAddressIsRejectedAfterUnmapping)
{
    void* bad[] = {nullptr, reinterpret_cast<void*>(UINTPTR_MAX),
                   reinterpret_cast<void*>(uintptr_t{0xFFFFFFFF})};
    for (void* address : bad) {
        ResetFake();
        Fake.MapAddress = address;
        Fake.MapNull = address == nullptr;
        EXPECT_EXIT(OpenCard(0), ExitedWithCode(EXIT_CARD_ACCESS),
                    StrEq(ErrorBlock("Invalid 9054 card number 0 base register mapping.\n")));
        EXPECT_EQ(ReleaseCalls(), "Unmap;Close;");
    }
}
