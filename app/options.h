// The forms that are not a run: --list, --help, --version and --check FILE.
#pragma once

// Runs the form the command line names, if it is exactly one of them, and
// sets *status to the exit status; false for every other command line,
// which goes on as a run (or to the usage text) as it always did.
bool RunOption(int argc, char** argv, int* status);
