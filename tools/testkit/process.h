// Running a program as a child process and capturing what it prints: the
// one way the tests, the real-kernel suite and the benchmark start the
// program and the tools.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

struct Command {
    std::string Program;
    std::vector<std::string> Args;
    std::vector<std::pair<std::string, std::string>> Env;  // set in the child only
    // Where the child's standard output goes. Captured: read by the parent.
    // File: a file of its own, as `> log` makes it, read back at the end;
    // its size is what has reached it so far. BrokenPipe: a pipe whose
    // reading end is already closed, as when a reader such as `head` has
    // gone. Closed: no descriptor 1 at all. Discarded: /dev/null, the
    // cheapest place to print to.
    enum class Output { Captured, File, BrokenPipe, Closed, Discarded } Stdout = Output::Captured;
    bool CloseStdin = false;  // otherwise standard input is /dev/null
    int TimeoutSeconds = 0;   // 0: none; on expiry the child is killed
    // A process group of its own, as a shell's job has: Process::SignalGroup
    // then reaches the child and everything it starts, as Ctrl-C does.
    bool OwnProcessGroup = false;
};

struct Outcome {
    int Status = -1;  // exit status, or 128 + the signal that ended it
    int Signal = 0;   // the signal that ended it; 0 if it exited
    std::string Out;
    std::string Err;
    long PeakKib = 0;  // the child's peak resident memory
    bool TimedOut = false;
};

// Runs the command to its end. No child leaves a core file behind.
Outcome RunProcess(const Command& command);

// A command running in the background. Its standard output is a pipe kept
// small, so a child that prints steadily soon waits for the parent to read:
// a test can hold the child at a known point by not reading.
class Process {
public:
    explicit Process(const Command& command);
    ~Process();  // kills (with its group, if it has one) and reaps a child still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    // Reads standard output until it holds text; false on end of output or
    // after timeoutSeconds.
    bool WaitForOutput(const std::string& text, int timeoutSeconds = 60);
    // Waits until the child sleeps in a write, as one whose output nobody
    // reads comes to; false after timeoutSeconds.
    bool WaitUntilBlockedWriting(int timeoutSeconds = 60);
    void Signal(int signal);
    // Signals the child's whole process group (Command::OwnProcessGroup).
    void SignalGroup(int signal);
    // Reads everything that is left and waits for the end.
    Outcome Finish();
    const std::string& OutputSoFar() const { return result_.Out; }

private:
    bool Pump(int timeoutMs);
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int fileFd_ = -1;  // standard output as a file (Output::File)
    int timeoutSeconds_ = 0;
    bool ownGroup_ = false;
    Outcome result_;
};
