// Runs a program with the store recorder (veldran_watch) preloaded and
// collects what it recorded.
#pragma once

#include <map>
#include <string>

#include "tools/testkit/process.h"

struct Recording {
    Outcome Run;         // status and output of the program
    std::string Stored;  // every byte stored into the watched window, in order
    std::map<std::string, std::string> Info;
    std::string Problem;  // set when the recorder left no account of itself

    // True when the recorder proved itself and watched the run, so that
    // Stored can be trusted.
    bool Watched() const;
    // One line for test logs: method, reason and counters.
    std::string Summary() const;
};

// Runs command with the recorder preloaded; its files go into scratch, an
// existing folder.
Recording RunRecorded(Command command, const std::string& scratch);
