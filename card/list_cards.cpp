#include "card/list_cards.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "card/find_card.h"
#include "card/open_card.h"
#include "run/run_state.h"
#include "run/safe_text.h"

static const char HEADER[] = "Card  Address       %-41s Program now?\n";
static const char CARD_LINE[] = "%-4u  %s  %-41s %s\n";
// A reason under a card's line starts with a dash; its further lines line
// up with the text after the dash.
static const char REASON_FIRST[] = "      - ";
static const char REASON_MORE[] = "        ";

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

static bool Programmable(const PlxAccess& access)
{
    for (int i = 0; i < access.Count; ++i)
        if (access.Reasons[i].Blocks)
            return false;
    return true;
}

static void ListCard(unsigned number, const DeviceKey& key)
{
    const std::string address = PciAddressText(CardAddressOf(key));
    PlxAccess access;
    const bool checked = PlxHost_CheckAccess(&key, &access) == PLX_STATUS_OK;
    std::printf(CARD_LINE, number, address.c_str(), BoardColumn(key.SubDeviceId).c_str(),
                !checked ? "unknown" : Programmable(access) ? "yes" : "no");
    for (int i = 0; checked && i < access.Count; ++i)
        PrintReason(access.Reasons[i]);
    if (number > HIGHEST_CARD_NUMBER)
        std::printf("%sa run takes the card numbers 0 to %u only: name this card by its\n"
                    "%saddress, %s\n",
                    REASON_FIRST, HIGHEST_CARD_NUMBER, REASON_MORE, address.c_str());
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
