#include "tools/testkit/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <fstream>

extern char** environ;

namespace {

// The smallest pipe the kernel allows: a child that prints a line per block
// fills it within a few hundred blocks.
constexpr int SMALL_PIPE = 4096;

struct Pipe {
    int Read = -1;
    int Write = -1;
    bool Open()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        Read = fds[0];
        Write = fds[1];
        return true;
    }
};

void CloseFd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

std::vector<std::string> Environment(const Command& command)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : command.Env)
            replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto& [name, value] : command.Env)
        env.push_back(name + "=" + value);
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

// Puts fd on target in the child; -1 closes target.
void Place(int fd, int target)
{
    if (fd < 0)
        close(target);
    else if (fd == target)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, target);
}

// A file that vanishes with its last descriptor.
int AnonymousFile()
{
    char path[] = "/tmp/veldran-output-XXXXXX";
    const int fd = mkostemp(path, O_CLOEXEC);
    if (fd >= 0)
        unlink(path);
    return fd;
}

// Starts the child; returns its pid, or -1. *out and *err receive the
// parent's reading ends, *file standard output's file (Output::File).
pid_t Spawn(const Command& command, bool smallPipe, int* out, int* err, int* file)
{
    std::vector<std::string> args = {command.Program};
    args.insert(args.end(), command.Args.begin(), command.Args.end());
    std::vector<std::string> env = Environment(command);
    std::vector<char*> argv = Pointers(args), envp = Pointers(env);

    *file = command.Stdout == Command::Output::File ? AnonymousFile() : -1;
    if (command.Stdout == Command::Output::File && *file < 0)
        return -1;
    Pipe outPipe, errPipe;
    if (!outPipe.Open() || !errPipe.Open())
        return -1;
    if (smallPipe)
        fcntl(outPipe.Write, F_SETPIPE_SZ, SMALL_PIPE);
    if (command.Stdout == Command::Output::BrokenPipe)
        CloseFd(&outPipe.Read);
    const int devNull = command.CloseStdin ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC);
    const bool discard = command.Stdout == Command::Output::Discarded;
    const int nullOut = discard ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    const int childOut = command.Stdout == Command::Output::Closed ? -1
                         : discard                                 ? nullOut
                         : *file >= 0                              ? *file
                                                                   : outPipe.Write;
    // A core file of a child that a test ends with SIGQUIT would be left in
    // the test's folder.
    const rlimit noCore = {0, 0};

    const pid_t pid = fork();
    if (pid == 0) {
        // Only what is safe between fork and exec from here on.
        signal(SIGPIPE, SIG_DFL);
        setrlimit(RLIMIT_CORE, &noCore);
        if (command.OwnProcessGroup)
            setpgid(0, 0);
        Place(errPipe.Write, STDERR_FILENO);
        Place(childOut, STDOUT_FILENO);
        Place(devNull, STDIN_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    // Here too, so that the group exists whichever of the two runs first.
    if (command.OwnProcessGroup && pid > 0)
        setpgid(pid, pid);
    CloseFd(&outPipe.Write);
    CloseFd(&errPipe.Write);
    for (int fd : {devNull, nullOut})
        if (fd >= 0)
            close(fd);
    *out = outPipe.Read;
    *err = errPipe.Read;
    return pid;
}

void Append(int* fd, std::string* text)
{
    char buffer[65536];
    const ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n > 0)
        text->append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
        CloseFd(fd);
}

// The whole of the file, from its start.
std::string ReadBack(int fd)
{
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Process::Process(const Command& command)
    : timeoutSeconds_(command.TimeoutSeconds), ownGroup_(command.OwnProcessGroup)
{
    pid_ = Spawn(command, true, &outFd_, &errFd_, &fileFd_);
}

Process::~Process()
{
    if (pid_ > 0) {
        kill(ownGroup_ ? -pid_ : pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    CloseFd(&outFd_);
    CloseFd(&errFd_);
    CloseFd(&fileFd_);
}

// Reads whatever either pipe has within timeoutMs; false once both ended.
bool Process::Pump(int timeoutMs)
{
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0)
        return false;
    if (poll(fds, 2, timeoutMs) > 0) {
        if (fds[0].revents != 0)
            Append(&outFd_, &result_.Out);
        if (fds[1].revents != 0)
            Append(&errFd_, &result_.Err);
    }
    return true;
}

bool Process::WaitForOutput(const std::string& text, int timeoutSeconds)
{
    const double end = Now() + timeoutSeconds;
    while (result_.Out.find(text) == std::string::npos) {
        if (outFd_ < 0 || Now() > end)
            return false;
        Pump(100);
    }
    return true;
}

bool Process::WaitUntilBlockedWriting(int timeoutSeconds)
{
    // The kernel shows the call a sleeping process is in; "running" else.
    const std::string path = "/proc/" + std::to_string(pid_) + "/syscall";
    const double end = Now() + timeoutSeconds;
    while (pid_ > 0 && Now() <= end) {
        std::ifstream in(path);
        long call = -1;
        if (in >> call && call == SYS_write)
            return true;
        poll(nullptr, 0, 10);
    }
    return false;
}

void Process::Signal(int signal)
{
    if (pid_ > 0)
        kill(pid_, signal);
}

void Process::SignalGroup(int signal)
{
    if (pid_ > 0)
        kill(-pid_, signal);
}

Outcome Process::Finish()
{
    const double end = Now() + timeoutSeconds_;
    while (Pump(100)) {
        if (timeoutSeconds_ > 0 && Now() > end && !result_.TimedOut) {
            result_.TimedOut = true;
            kill(ownGroup_ ? -pid_ : pid_, SIGKILL);
        }
    }
    if (pid_ > 0) {
        int status = 0;
        rusage usage = {};
        while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        result_.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        result_.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + result_.Signal;
        result_.PeakKib = usage.ru_maxrss;
    }
    if (fileFd_ >= 0)
        result_.Out = ReadBack(fileFd_);
    return result_;
}

Outcome RunProcess(const Command& command)
{
    Process process(command);
    if (!process.Started())
        return Outcome{};
    return process.Finish();
}
