// What --list says of one card, in the table and in JSON alike, gathered
// once: where the card is, whether this user can program it now, and what
// it carries, as its record and its register tell together.
#pragma once

#include <cstdint>
#include <string>

#include "pci/plx_api.h"
#include "run/card_record.h"

// What the card's control/status register says now.
enum class RegisterState {
    Done,            // PROGRAM set, DONE set
    Configuring,     // PROGRAM set, DONE clear: a configuration cycle in progress
    ProgramCleared,  // the FPGA held in reset, with no design
    NoAnswer,        // reads all ones: the card does not decode, or is gone
    Unreadable,      // not here: no rights to the card's register file, or no holder
};

// What the card carries, where its register and its record agree on it.
enum class Carries {
    Recorded,  // the record's design: it says "programmed", and the register DONE
    None,      // no design runs: PROGRAM cleared, or a configuration cycle in progress
    Unknown,   // the register cannot be read, or shows DONE that no record accounts for
};

struct CardFacts {
    unsigned Number;  // as a run counts the cards; above 15 only an address reaches it
    DeviceKey Key;
    std::string Address;
    bool Checked;  // the access check could be made
    PlxAccess Access;
    bool Programmable;  // a run of this user's goes ahead now
    RecordRead Record;
    CardRecord Recorded;
    RegisterState Register;
    uint32_t RegisterValue;  // when it could be read
};

// Reads what the list says of card `number`, found as key. Reading alone:
// nothing is written, mapped, enabled or locked.
void GatherCardFacts(unsigned number, const DeviceKey& key, CardFacts* facts);

Carries WhatItCarries(const CardFacts& facts);
