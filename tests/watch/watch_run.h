// Runs a program with the store recorder (veldran_watch) preloaded and
// collects what it recorded.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/testkit/process.h"

struct Recording {
    Outcome Run;         // status and output of the program
    std::string Stored;  // every byte stored into the watched window, in order
    std::map<std::string, std::string> Info;
    // Standard output's size at the first store and at each store where it
    // had changed, by store number (standard output a file: Output::File).
    std::vector<std::pair<std::size_t, long long>> Console;
    std::string Problem;  // set when the recorder left no account of itself

    // True when the recorder proved itself and watched the run, so that
    // Stored can be trusted.
    bool Watched() const;
    // One line for test logs: method, reason and counters.
    std::string Summary() const;
    // What had reached standard output when store number `store` was made;
    // -1 if nothing was noted by then.
    long long ConsoleAt(std::size_t store) const;
};

// Runs command with the recorder preloaded; its files go into scratch, an
// existing folder.
Recording RunRecorded(Command command, const std::string& scratch);
