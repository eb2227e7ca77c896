#include "card/list_cards.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "card/card_facts.h"
#include "card/find_card.h"
#include "card/open_card.h"
#include "run/run_state.h"
#include "run/safe_text.h"

static const char HEADER[] = "Card  Address       %-41s Program now?\n";
static const char CARD_LINE[] = "%-4u  %s  %-41s %s\n";
// A reason under a card's line starts with a dash; its further lines line
// up with the text after the dash. What the card carries comes below its
// reasons, without a dash.
static const char REASON_FIRST[] = "      - ";
static const char REASON_MORE[] = "        ";
static const char CARRIES_FIRST[] = "      ";

static std::string BoardColumn(uint16_t subsystemDeviceId)
{
    const char* name = BoardName(subsystemDeviceId);
    if (name != nullptr)
        return name;
    char text[64];
    std::snprintf(text, sizeof text, "unknown board (subsystem ID 0x%04x)",
                  static_cast<unsigned>(subsystemDeviceId));
    return text;
}

constexpr std::size_t LINE_WIDTH = 79;

// Prints text wrapped at spaces to the line's width: the first line after
// `first`, the others after REASON_MORE.
static void PrintWrapped(const std::string& text, const char* first)
{
    const std::size_t room = LINE_WIDTH - std::strlen(REASON_MORE);
    const char* lead = first;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.size();
        if (end - at > room) {
            const std::size_t space = text.rfind(' ', at + room);
            end = space != std::string::npos && space > at ? space : at + room;
        }
        std::printf("%s%s\n", lead, text.substr(at, end - at).c_str());
        lead = REASON_MORE;
        at = end < text.size() && text[end] == ' ' ? end + 1 : end;
    }
}

// A method's reason: the problem and what helps, as one paragraph; further
// lines of what helps below it, and a command to run as root on a line of
// its own, unwrapped and without its mark. The texts carry names from the system (drivers,
// processes, lockdown modes), made safe for the terminal here.
static void PrintReason(const PlxReason& reason)
{
    const std::string remedy = reason.Remedy;
    std::size_t end = remedy.find('\n');
    if (end == std::string::npos)
        end = remedy.size();
    const std::string first = remedy.substr(0, end);
    PrintWrapped(SafeText(reason.Problem) + (first.empty() ? "" : "; " + SafeText(first.c_str())),
                 REASON_FIRST);
    for (std::size_t at = end + 1; at < remedy.size(); at = end + 1) {
        end = remedy.find('\n', at);
        if (end == std::string::npos)
            end = remedy.size();
        const std::string line = SafeText(remedy.substr(at, end - at).c_str());
        if (line.rfind("# ", 0) == 0)
            std::printf("%s%s\n", REASON_MORE, line.c_str() + 2);
        else
            PrintWrapped(line, REASON_MORE);
    }
}

// The user as the record names them: "alice (uid 1000)".
static std::string UserText(const CardRecord& r)
{
    return r.User.empty() ? "uid " + r.Uid : r.User + " (uid " + r.Uid + ")";
}

static std::string HowItEnded(const CardRecord& r)
{
    const std::string who = " at " + r.When + " by " + UserText(r);
    if (r.Result == "programmed")
        return "programmed" + who;
    if (r.Result == "interrupted")
        return "interrupted by " + r.Step + who;
    if (r.Result == "failed")
        return "failed" + who + ": " + r.Step;
    if (r.Result == "released")
        return "released" + who + ", and the kernel reset the card: what it was loaded with is gone";
    if (r.Result == "started")
        return "started" + who + ", and has not recorded its end";
    return r.Result + who;
}

// The record's lines. Its folder is the group's, so every text in it is
// made safe for the terminal.
static void PrintRecord(const CardRecord& r)
{
    PrintWrapped(SafeText(("recorded: " + HowItEnded(r)).c_str()), CARRIES_FIRST);
    if (r.Format == "prom") {
        std::printf("%sa PROM image\n", REASON_MORE);
    } else {
        PrintWrapped(SafeText(("design " + r.Design).c_str()), REASON_MORE);
        PrintWrapped(SafeText(("part " + r.Part + ", " + r.Date + " " + r.Time).c_str()), REASON_MORE);
    }
    const std::string bytes = r.Bytes.empty() ? "" : ", " + r.Bytes + " bytes sent";
    const std::string sha = r.Sha256.empty() ? "no sha256" : "sha256 " + r.Sha256.substr(0, 16) + "...";
    PrintWrapped(SafeText(("file " + r.File + bytes + ", " + sha).c_str()), REASON_MORE);
}

static std::string RegisterText(const CardFacts& f)
{
    if (f.Register == RegisterState::Unreadable) {
        const bool vfio = f.Checked && std::strcmp(f.Access.Method, "vfio") == 0;
        return std::string("register: ") +
               (vfio ? "cannot be read here: only the process holding the card through VFIO may, "
                       "and none does"
                     : "resource1 cannot be read here") +
               "; what the card carries now is not known";
    }
    char value[16];
    std::snprintf(value, sizeof value, "0x%08x", static_cast<unsigned>(f.RegisterValue));
    if (f.Register == RegisterState::NoAnswer)
        return std::string("register ") + value +
               ": the card does not answer (its decoding is off, or it is gone); what it carries "
               "now is not known";
    const char* state = f.Register == RegisterState::Done          ? "done"
                        : f.Register == RegisterState::Configuring ? "a configuration cycle in progress"
                                                                   : "PROGRAM cleared, FPGA in reset";
    std::string text = std::string("register ") + value + ": " + state;
    if (f.Record != RecordRead::Read)
        return text;
    if (WhatItCarries(f) == Carries::Recorded)
        return text + "; the card carries the recorded design";
    if (f.Register == RegisterState::Done)
        return text + ", but the recorded run did not finish: what the card carries is not known";
    return f.Recorded.Result == "programmed" ? text + "; the card no longer carries the recorded design"
                                             : text;
}

// What the card carries: the record, and what the register says now. It
// never says the card carries a design that its register contradicts.
static void PrintCarried(const CardFacts& f)
{
    if (f.Record == RecordRead::Read)
        PrintRecord(f.Recorded);
    const char* lead = f.Record == RecordRead::None         ? "nothing recorded; "
                       : f.Record == RecordRead::Unreadable ? "the card's record cannot be read; "
                                                            : "";
    PrintWrapped(lead + RegisterText(f), CARRIES_FIRST);
}

static void ListCard(unsigned number, const DeviceKey& key)
{
    CardFacts facts;
    GatherCardFacts(number, key, &facts);
    std::printf(CARD_LINE, number, facts.Address.c_str(), BoardColumn(key.SubDeviceId).c_str(),
                !facts.Checked ? "unknown" : facts.Programmable ? "yes" : "no");
    for (int i = 0; facts.Checked && i < facts.Access.Count; ++i)
        PrintReason(facts.Access.Reasons[i]);
    if (number > HIGHEST_CARD_NUMBER)
        std::printf("%sa run takes the card numbers 0 to %u only: name this card by its\n"
                    "%saddress, %s\n",
                    REASON_FIRST, HIGHEST_CARD_NUMBER, REASON_MORE, facts.Address.c_str());
    PrintCarried(facts);
}

int ListCards()
{
    DeviceKey key;
    unsigned number = 0;
    for (; FindCardNumber(number, &key); ++number) {
        if (number == 0)
            std::printf(HEADER, "Board");
        ListCard(number, key);
    }
    if (number == 0) {
        std::printf("No 9054 card found.\n");
        return EXIT_NOT_FOUND;
    }
    return EXIT_OK;
}
