// What the process needs before it prints or opens anything.
#pragma once

// Puts /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// no file the run opens later can land there and receive console output;
// and ignores SIGPIPE and SIGXFSZ, so that a console that goes away (a
// pipe into `head`, a log reader that exits) or a log at its file-size
// limit never stops a run half-way: output is then lost, and the exit
// status still says how programming went.
void PrepareProcess();
