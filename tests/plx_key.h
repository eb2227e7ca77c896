// The search key the program uses: a 9054 bridge, function 0.
#pragma once

#include <cstring>

#include "card/plx_api.h"

inline DeviceKey PlxKey()
{
    DeviceKey key;
    std::memset(&key, 0xFF, sizeof key);
    key.VendorId = 0x10b5;
    key.DeviceId = 0x9054;
    key.Function = 0;
    return key;
}
