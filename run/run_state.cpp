#include "run/run_state.h"

RunState State = {};

const char* const PROGRAM_NAME = "VELDRAN";

const char* const PROGRAM_VERSION = VELDRAN_VERSION;
