// What the suites that run the real program against simulated buses share:
// the run itself, a bus in a temporary folder, and cards that do not
// overlap.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tools/simbus/sim_bus.h"
#include "tools/testkit/files.h"
#include "tools/testkit/process.h"

// Runs the real program against the simulated bus at root.
inline Outcome RunVeldran(const std::vector<std::string>& args, const std::string& root)
{
    return RunProcess({VELDRAN_BINARY, args, {{"VELDRAN_SYSFS_ROOT", root}}});
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(temp.Path().empty());
        root = temp.Path() + "/sys";
        prom = TempFile(PromImage(600));
    }
    void MakeBus(const std::vector<SimCard>& cards)
    {
        std::string error;
        ASSERT_TRUE(MakeSimBus(root, cards, &error)) << error;
    }
    TempFolder temp;
    std::string root;
    std::string prom;
};

inline SimCard CardAt(uint8_t bus, uint16_t subsys = 0x3311)
{
    SimCard card;
    card.Bus = bus;
    card.SubDeviceId = subsys;
    card.IoBase = 0xE000 - 0x100u * bus;
    card.Bar3Address = 0xF0000000u + 0x100000u * bus;
    return card;
}


// The record runs left of the card on the bus at root, field by field (one
// name=value line each); empty if there is none.
inline std::map<std::string, std::string> RecordOf(const std::string& root, const SimCard& card)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(ReadFile(root + "/run/cards/" + SimDeviceName(card)));
    for (std::string line; std::getline(lines, line);)
        fields[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return fields;
}
