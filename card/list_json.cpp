#include "card/list_json.h"

#include <cstdio>
#include <string>

#include "card/card_facts.h"
#include "card/find_card.h"
#include "card/open_card.h"
#include "run/json_text.h"
#include "run/run_state.h"

static std::string Field(const char* name, const std::string& value)
{
    return std::string("\"") + name + "\":" + value;
}

static std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "\"0x%0*x\"", digits, value);
    return text;
}

static std::string Bool(bool value)
{
    return value ? "true" : "false";
}

// A record's number as a number; what a member of the group may have
// written in its place, as null.
static std::string Number(const std::string& text)
{
    const bool digits = !text.empty() && text.size() <= 19 &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    return digits ? std::to_string(std::stoull(text)) : "null";
}

static std::string Reasons(const CardFacts& f)
{
    std::string list;
    for (int i = 0; f.Checked && i < f.Access.Count; ++i) {
        const PlxReason& reason = f.Access.Reasons[i];
        list += std::string(i == 0 ? "" : ",") + "{" + Field("blocks", Bool(reason.Blocks != 0)) +
                "," + Field("problem", JsonString(reason.Problem)) + "," +
                Field("remedy", JsonString(reason.Remedy)) + "}";
    }
    return "[" + list + "]";
}

static std::string Record(const CardFacts& f)
{
    if (f.Record != RecordRead::Read)
        return "null";
    std::string object;
    for (const RecordField& field : RECORD_FIELDS) {
        const std::string& value = f.Recorded.*field.Value;
        const bool number = field.Value == &CardRecord::Uid || field.Value == &CardRecord::Bytes;
        object += std::string(object.empty() ? "" : ",") +
                  Field(field.Name, number ? Number(value) : JsonString(value));
    }
    return "{" + object + "}";
}

static std::string Register(const CardFacts& f)
{
    const char* state = f.Register == RegisterState::Done             ? "done"
                        : f.Register == RegisterState::Configuring    ? "configuring"
                        : f.Register == RegisterState::ProgramCleared ? "program_cleared"
                                                                      : "no_answer";
    if (f.Register == RegisterState::Unreadable)
        return "null";
    return "{" + Field("value", Hex(f.RegisterValue, 8)) + "," + Field("state", JsonString(state)) + "}";
}

static std::string Carried(const CardFacts& f)
{
    switch (WhatItCarries(f)) {
    case Carries::Recorded:
        return JsonString("recorded");
    case Carries::None:
        return JsonString("none");
    case Carries::Unknown:
        break;
    }
    return JsonString("unknown");
}

static std::string CardObject(const CardFacts& f)
{
    const char* board = BoardName(f.Key.SubDeviceId);
    return "{" +
           Field("number", f.Number <= HIGHEST_CARD_NUMBER ? std::to_string(f.Number) : "null") + "," +
           Field("address", JsonString(f.Address)) + "," +
           Field("subsystem_vendor", Hex(f.Key.SubVendorId, 4)) + "," +
           Field("subsystem_device", Hex(f.Key.SubDeviceId, 4)) + "," +
           Field("board", board != nullptr ? JsonString(board) : "null") + "," +
           Field("programmable", f.Checked ? Bool(f.Programmable) : "null") + "," +
           Field("method", f.Checked ? JsonString(f.Access.Method) : "null") + "," +
           Field("reasons", Reasons(f)) + "," + Field("record", Record(f)) + "," +
           Field("register", Register(f)) + "," + Field("carries", Carried(f)) + "}";
}

int ListCardsJson()
{
    DeviceKey key;
    unsigned number = 0;
    std::fputs("[", stdout);
    for (; FindCardNumber(number, &key); ++number) {
        CardFacts facts;
        GatherCardFacts(number, key, &facts);
        std::printf("%s%s", number == 0 ? "\n" : ",\n", CardObject(facts).c_str());
    }
    std::fputs(number == 0 ? "]\n" : "\n]\n", stdout);
    return number == 0 ? EXIT_NOT_FOUND : EXIT_OK;
}
