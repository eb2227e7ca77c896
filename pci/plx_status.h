// Why a call of the platform's card access failed. The program only tells
// success from failure, but for PLX_ERR_NOT_HELD, by which --release tells
// a card that no holder keeps; the codes are for the layer's own tests,
// which must see a call fail for the reason they provoked.
#pragma once

#include "pci/plx_api.h"

enum : PlxStatus {
    PLX_ERR_ARGUMENT = 513,       // null pointer, bad size/access type, bad BAR index or offset
    PLX_ERR_NOT_FOUND = 514,      // no such device
    PLX_ERR_NOT_OPEN = 515,       // the device object is not open
    PLX_ERR_ALREADY_OPEN = 516,   // the device object is already open
    PLX_ERR_FILE = 517,           // a file is missing, unreadable or short
    PLX_ERR_PARSE = 518,          // a file's content is not what the kernel writes
    PLX_ERR_NOT_DECODING = 519,   // I/O or memory decoding off and cannot be turned on
    PLX_ERR_PORT_RANGE = 520,     // the port is in no I/O BAR of the device
    PLX_ERR_BAR_TYPE = 521,       // the BAR is not memory, or has no size
    PLX_ERR_MAP = 522,            // mmap or munmap failed
    PLX_ERR_ALREADY_MAPPED = 523,
    PLX_ERR_NOT_MAPPED = 524,
    PLX_ERR_PATH_LONG = 525,
    PLX_ERR_INTERNAL = 526,       // an exception (out of memory)
    PLX_ERR_BUSY = 527,           // another process holds the device
    PLX_ERR_NO_LOCK = 528,        // the device's lock cannot be found or taken
    PLX_ERR_NOT_HELD = 529,       // no holder keeps the device
    PLX_ERR_LOCKED_DOWN = 530,    // the kernel refuses the method (lockdown)
    PLX_ERR_VFIO = 531,           // a VFIO step failed (container, group, device, region)
    PLX_ERR_HOLD = 532,           // the holder could not be started or reached
};
