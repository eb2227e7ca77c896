// The bridge's control/status register and the waits around it.
#pragma once

#include <cstdint>

void ControlSetModeBits();
void ControlSetProgramBit();
void ControlClearProgramBit();

// The register read as status.
uint32_t ReadStatus();

// 0 when DONE reads set on 101 reads in a row, -1 at the first clear one.
int ConfirmDone();

// Busy-waits about one millisecond of processor time, at least one tick.
void WaitOneTick();
