// Runs a program with the store recorder (veldran_watch) preloaded and
// collects what it recorded.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace watch {

struct Launch {
    std::string program;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;  // added or replaced
    std::string scratch;  // existing folder for the recording and the output
};

struct Recording {
    int exit_code = -1;  // -1 when the program was ended by a signal
    int signal = 0;
    std::string bytes;  // every byte stored into the watched window
    std::map<std::string, std::string> info;
    std::string output;   // what the program printed, stdout then stderr
    std::string problem;  // set when the recorder left no account of itself

    std::string Method() const;
    // True when a proven method watched the run, so `bytes` can be trusted.
    bool Watched() const;
    // One line for test logs: method, reason and counters.
    std::string Summary() const;
};

Recording RunRecorded(const Launch& launch);

std::string MakeScratchDir();
void RemoveTree(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

}  // namespace watch
