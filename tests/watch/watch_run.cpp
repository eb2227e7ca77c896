#include "watch_run.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tools/testkit/files.h"

#ifndef VELDRAN_WATCH_LIB
#error "VELDRAN_WATCH_LIB must name the built recorder library"
#endif

namespace {

std::string Joined(const char* oldValue, const std::string& added)
{
    if (oldValue == nullptr || *oldValue == '\0')
        return added;
    return added + ":" + oldValue;
}

std::map<std::string, std::string> ParseInfo(const std::string& text)
{
    std::map<std::string, std::string> info;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos)
            info[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return info;
}

std::vector<std::pair<std::size_t, long long>> ParseConsole(const std::string& text)
{
    std::vector<std::pair<std::size_t, long long>> notes;
    std::istringstream lines(text);
    std::size_t store;
    long long size;
    while (lines >> store >> size)
        notes.emplace_back(store, size);
    return notes;
}

}  // namespace

long long Recording::ConsoleAt(std::size_t store) const
{
    long long size = -1;
    for (const auto& [at, then] : Console)
        if (at <= store)
            size = then;
    return size;
}

bool Recording::Watched() const
{
    const auto method = Info.find("method");
    return Problem.empty() && method != Info.end() && method->second != "none";
}

std::string Recording::Summary() const
{
    if (!Problem.empty())
        return "recorder: " + Problem;
    std::string text = "recorder";
    for (const char* key : {"method", "reason", "stores", "stray", "dropped", "notes"}) {
        const auto it = Info.find(key);
        if (it != Info.end() && !it->second.empty())
            text += std::string(" ") + key + ": " + it->second + ",";
    }
    text.pop_back();
    return text;
}

Recording RunRecorded(Command command, const std::string& scratch)
{
    const std::string stored = scratch + "/recorded.bin";
    const std::string info = scratch + "/recorded.info";
    const std::string console = scratch + "/recorded.console";
    for (const std::string& file : {stored, info, console})
        std::remove(file.c_str());
    // A sanitized program insists on its runtime being loaded first; the
    // recorder only wraps mmap and munmap, so that order does not matter.
    command.Env.insert(command.Env.end(), {
        {"LD_PRELOAD", Joined(std::getenv("LD_PRELOAD"), VELDRAN_WATCH_LIB)},
        {"ASAN_OPTIONS", Joined(std::getenv("ASAN_OPTIONS"), "verify_asan_link_order=0")},
        {"VELDRAN_WATCH_OUT", stored},
        {"VELDRAN_WATCH_INFO", info},
        {"VELDRAN_WATCH_CONSOLE", console},
    });
    Recording rec;
    rec.Run = RunProcess(command);
    const std::string infoText = ReadFile(info);
    if (infoText.empty()) {
        rec.Problem = "the recorder wrote no info file (did the program exit through exit()? "
                      "was the library loaded?)";
        return rec;
    }
    rec.Info = ParseInfo(infoText);
    rec.Stored = ReadFile(stored);
    rec.Console = ParseConsole(ReadFile(console));
    return rec;
}
