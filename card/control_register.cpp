#include "card/control_register.h"

#include <ctime>

#include "run/fatal_exit.h"
#include "run/run_state.h"

constexpr uint32_t REGISTER_SIZE = 4;
constexpr int DONE_CONFIRM_REPEATS = 100;

// The card wants about a millisecond after its program bit changes, as a
// clock tick lasted where it was first programmed. Here the clock ticks
// every microsecond, so the tick waited for is a millisecond of clock.
static_assert(CLOCKS_PER_SEC >= 1000, "the clock must resolve a millisecond");
constexpr clock_t CLOCKS_PER_MILLISECOND = CLOCKS_PER_SEC / 1000;

static const char CONTROL_ERROR[] = "Can't access 9054 card control register.\n";
static const char STATUS_ERROR[] = "Can't access 9054 card status register.\n";

static uint32_t ReadRegister(const char* error)
{
    uint32_t value = 0;
    if (PlxPci_IoPortRead(&State.CardDevice, State.ControlPort, &value, REGISTER_SIZE,
                          PLX_ACCESS_32) != PLX_STATUS_OK)
        FatalExit(EXIT_CARD_ACCESS, "%s", error);
    return value;
}

static void ModifyControl(uint32_t setBits, uint32_t keepBits)
{
    uint32_t value = (ReadRegister(CONTROL_ERROR) | setBits) & keepBits;
    if (PlxPci_IoPortWrite(&State.CardDevice, State.ControlPort, &value, REGISTER_SIZE,
                           PLX_ACCESS_32) != PLX_STATUS_OK)
        FatalExit(EXIT_CARD_ACCESS, "%s", CONTROL_ERROR);
}

void ControlSetModeBits()
{
    ModifyControl(MODE_BITS, 0xFFFFFFFF);
}

void ControlSetProgramBit()
{
    ModifyControl(PROGRAM_BIT, 0xFFFFFFFF);
}

void ControlClearProgramBit()
{
    ModifyControl(0, ~PROGRAM_BIT);
}

uint32_t ReadStatus()
{
    return ReadRegister(STATUS_ERROR);
}

int ConfirmDone()
{
    WaitOneTick();
    if ((ReadStatus() & DONE_BIT) == 0)
        return -1;
    for (int i = 0; i < DONE_CONFIRM_REPEATS; ++i)
        if ((ReadStatus() & DONE_BIT) == 0)
            return -1;
    return 0;
}

void WaitOneTick()
{
    const clock_t start = std::clock();
    if (start == static_cast<clock_t>(-1))
        return;
    for (;;) {
        const clock_t now = std::clock();
        if (now == static_cast<clock_t>(-1) || now - start >= CLOCKS_PER_MILLISECOND)
            return;
    }
}
