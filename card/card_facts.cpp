#include "card/card_facts.h"

#include "card/find_card.h"
#include "run/run_state.h"

// Where a run finds the register (open_card.cpp): the bridge's I/O block.
constexpr uint8_t CONTROL_BAR = 1;
constexpr uint32_t CONTROL_OFFSET = 0x6C;

static bool Programmable(const PlxAccess& access)
{
    for (int i = 0; i < access.Count; ++i)
        if (access.Reasons[i].Blocks)
            return false;
    return true;
}

// What reads all ones is no register but a bus with nothing answering.
static RegisterState StateOf(uint32_t value)
{
    if (value == 0xFFFFFFFF)
        return RegisterState::NoAnswer;
    if ((value & PROGRAM_BIT) == 0)
        return RegisterState::ProgramCleared;
    return (value & DONE_BIT) != 0 ? RegisterState::Done : RegisterState::Configuring;
}

void GatherCardFacts(unsigned number, const DeviceKey& key, CardFacts* facts)
{
    facts->Number = number;
    facts->Key = key;
    facts->Address = PciAddressText(CardAddressOf(key));
    facts->Checked = PlxHost_CheckAccess(&key, &facts->Access) == PLX_STATUS_OK;
    facts->Programmable = facts->Checked && Programmable(facts->Access);
    facts->Record = ReadRecord(facts->Address, &facts->Recorded);
    facts->RegisterValue = 0;
    facts->Register =
        PlxHost_PeekRegister(&key, CONTROL_BAR, CONTROL_OFFSET, &facts->RegisterValue) == PLX_STATUS_OK
            ? StateOf(facts->RegisterValue)
            : RegisterState::Unreadable;
}

Carries WhatItCarries(const CardFacts& facts)
{
    switch (facts.Register) {
    case RegisterState::Done:
        return facts.Record == RecordRead::Read && facts.Recorded.Result == "programmed"
                   ? Carries::Recorded
                   : Carries::Unknown;
    case RegisterState::Configuring:
    case RegisterState::ProgramCleared:
        return Carries::None;
    case RegisterState::NoAnswer:
    case RegisterState::Unreadable:
        break;
    }
    return Carries::Unknown;
}
