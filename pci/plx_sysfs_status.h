// Why a call of the sysfs card-access layer failed. The program only tells
// success from failure; the codes are for the layer's own tests, which must
// see a call fail for the reason they provoked.
#pragma once

#include "pci/plx_api.h"

enum : PlxStatus {
    ERR_ARGUMENT = 513,      // null pointer, bad size/access type, bad BAR index or offset
    ERR_NOT_FOUND = 514,     // no such device
    ERR_NOT_OPEN = 515,      // the device object is not open
    ERR_ALREADY_OPEN = 516,  // the device object is already open
    ERR_FILE = 517,          // a file is missing, unreadable or short
    ERR_PARSE = 518,         // a file's content is not what the kernel writes
    ERR_NOT_DECODING = 519,  // I/O or memory decoding off and cannot be turned on
    ERR_PORT_RANGE = 520,    // the port is in no I/O BAR of the device
    ERR_BAR_TYPE = 521,      // the BAR is not memory, or has no size
    ERR_MAP = 522,           // mmap or munmap failed
    ERR_ALREADY_MAPPED = 523,
    ERR_NOT_MAPPED = 524,
    ERR_PATH_LONG = 525,
    ERR_INTERNAL = 526,      // an exception (out of memory)
    ERR_BUSY = 527,          // another process holds the device
};
