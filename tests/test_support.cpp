#include "tests/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "run/run_state.h"

static std::vector<std::string>& TempFiles()
{
    static std::vector<std::string> files;
    static pid_t owner = 0;
    if (owner == 0) {
        owner = getpid();
        // Death tests exit from forked children; only the process that
        // made the files may remove them.
        std::atexit([] {
            if (getpid() != owner)
                return;
            for (const auto& f : TempFiles())
                unlink(f.c_str());
        });
    }
    return files;
}

std::string TempFile(const Bytes& bytes)
{
    char path[] = "/tmp/veldran-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    close(fd);
    TempFiles().push_back(path);
    return path;
}

bool OnCi()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

void OpenConfigFile(const std::string& path)
{
    State.ConfigFile = std::fopen(path.c_str(), "rb");
    if (State.ConfigFile == nullptr)
        std::abort();
}
