// What the sysfs suites share: a simulated bus in a temporary folder that
// the layer is pointed at, cards at given addresses, and the search key.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pci/host.h"
#include "tools/simbus/sim_bus.h"
#include "tools/testkit/files.h"

// A key that matches every device.
inline DeviceKey AnyKey()
{
    DeviceKey key;
    std::memset(&key, 0xFF, sizeof key);
    return key;
}

// The search key the program uses: a 9054 bridge, function 0.
inline DeviceKey PlxKey()
{
    DeviceKey key = AnyKey();
    key.VendorId = 0x10b5;
    key.DeviceId = 0x9054;
    key.Function = 0;
    return key;
}

inline SimCard CardAt(uint32_t domain, uint8_t bus, uint8_t slot = 0, uint8_t function = 0)
{
    SimCard card;
    card.Domain = domain;
    card.Bus = bus;
    card.Slot = slot;
    card.Function = function;
    return card;
}

class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(root_.Path().empty());
        ASSERT_EQ(setenv("VELDRAN_SYSFS_ROOT", root_.Path().c_str(), 1), 0);
    }
    void TearDown() override
    {
        for (DeviceObject* device : {&device_, &other_})
            if (device->IsOpen == 1)
                PlxPci_DeviceClose(device);
        unsetenv("VELDRAN_SYSFS_ROOT");
    }

    void Make(const std::vector<SimCard>& cards)
    {
        std::string error;
        ASSERT_TRUE(MakeSimBus(root_.Path(), cards, &error)) << error;
    }
    std::string File(const SimCard& card, const char* name) const
    {
        return SimDevicePath(root_.Path(), card) + "/" + name;
    }
    // Finds the index-th PLX card and opens it into device.
    PlxStatus FindAndOpen(uint16_t index, DeviceObject* device)
    {
        DeviceKey key = PlxKey();
        const PlxStatus status = PlxPci_DeviceFind(&key, index);
        return status == PLX_STATUS_OK ? PlxPci_DeviceOpen(&key, device) : status;
    }

    TempFolder root_;
    DeviceObject device_{};
    DeviceObject other_{};
};
