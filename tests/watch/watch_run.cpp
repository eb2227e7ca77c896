#include "watch_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifndef VELDRAN_WATCH_LIB
#error "VELDRAN_WATCH_LIB must name the built recorder library"
#endif

extern char** environ;

namespace watch {
namespace {

using EnvList = std::vector<std::pair<std::string, std::string>>;

std::string Joined(const char* old_value, const std::string& added, char separator)
{
    if (old_value == nullptr || *old_value == '\0')
        return added;
    return added + separator + old_value;
}

EnvList RecorderEnv(const Launch& launch)
{
    // A sanitized program insists on its runtime being loaded first; the
    // recorder only wraps mmap, so that order does not matter here.
    EnvList env = {
        {"LD_PRELOAD", Joined(std::getenv("LD_PRELOAD"), VELDRAN_WATCH_LIB, ':')},
        {"ASAN_OPTIONS", Joined(std::getenv("ASAN_OPTIONS"), "verify_asan_link_order=0", ':')},
        {"VELDRAN_WATCH_OUT", launch.scratch + "/recorded.bin"},
        {"VELDRAN_WATCH_INFO", launch.scratch + "/recorded.info"},
    };
    env.insert(env.end(), launch.env.begin(), launch.env.end());
    return env;
}

std::vector<std::string> BuildEnvironment(const EnvList& changes)
{
    std::vector<std::string> result;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& change : changes) {
            replaced = replaced || entry.rfind(change.first + "=", 0) == 0;
        }
        if (!replaced)
            result.push_back(entry);
    }
    for (const auto& change : changes) {
        result.push_back(change.first + "=" + change.second);
    }
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (auto& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

[[noreturn]] void ExecChild(const Launch& launch, std::vector<std::string> env,
                            const std::string& out_path)
{
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    std::vector<std::string> argv = {launch.program};
    argv.insert(argv.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argp = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    execve(launch.program.c_str(), argp.data(), envp.data());
    _exit(127);
}

std::map<std::string, std::string> ParseInfo(const std::string& text)
{
    std::map<std::string, std::string> info;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            info[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return info;
}

void Collect(const Launch& launch, Recording* rec)
{
    const std::string info_path = launch.scratch + "/recorded.info";
    rec->output = ReadFile(launch.scratch + "/output.txt");
    if (!std::filesystem::exists(info_path)) {
        rec->problem =
            "the recorder wrote no info file (did the program exit "
            "through exit()? was the library loaded?)";
        return;
    }
    rec->info = ParseInfo(ReadFile(info_path));
    rec->bytes = ReadFile(launch.scratch + "/recorded.bin");
}

}  // namespace

std::string Recording::Method() const
{
    auto it = info.find("method");
    return it == info.end() ? "none" : it->second;
}

bool Recording::Watched() const
{
    return problem.empty() && Method() != "none";
}

std::string Recording::Summary() const
{
    if (!problem.empty())
        return "recorder: " + problem;
    std::string text = "recorder method: " + Method();
    for (const char* key : {"reason", "stores", "emulated", "stray", "dropped", "notes"}) {
        auto it = info.find(key);
        if (it != info.end() && !it->second.empty()) {
            text += std::string(", ") + key + ": " + it->second;
        }
    }
    return text;
}

Recording RunRecorded(const Launch& launch)
{
    Recording rec;
    std::filesystem::remove(launch.scratch + "/recorded.bin");
    std::filesystem::remove(launch.scratch + "/recorded.info");
    std::vector<std::string> env = BuildEnvironment(RecorderEnv(launch));
    const std::string out_path = launch.scratch + "/output.txt";
    const pid_t pid = fork();
    if (pid == 0)
        ExecChild(launch, env, out_path);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        rec.problem = "could not run " + launch.program;
        return rec;
    }
    if (WIFEXITED(status))
        rec.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        rec.signal = WTERMSIG(status);
    Collect(launch, &rec);
    return rec;
}

std::string MakeScratchDir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/veldran-watch-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return "";
    return pattern;
}

void RemoveTree(const std::string& path)
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace watch
