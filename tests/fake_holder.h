// A card's holder over plain files, for the tests that cannot open a real
// VFIO device: the holder's own serving loop (vfio::ServeHold) in a child
// process, keeping three descriptors open as its container, group and
// device, with BAR 1 a region of the "device" file.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "pci/vfio.h"

class FakeHolder {
public:
    static constexpr int64_t SINCE = 1700000000;  // 2023-11-14T22:13:20Z

    // Serves at socket, holding what opens gives for each of the three
    // files; request, if not -1, is its request channel.
    FakeHolder(const std::string& socket, const std::string (&files)[3], vfio::Region bar1,
               int request = -1)
    {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            _exit(Serve(socket, files, bar1, request, ready[1]) ? 0 : 1);
        }
        close(ready[1]);
        char byte;
        if (pid_ > 0 && read(ready[0], &byte, 1) != 1)
            Reap();
        close(ready[0]);
    }
    ~FakeHolder()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Reap();
        }
    }
    FakeHolder(const FakeHolder&) = delete;
    FakeHolder& operator=(const FakeHolder&) = delete;

    bool Serving() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    // Whether the holder has ended within timeoutMs; then reaped.
    bool Ended(int timeoutMs = 10000)
    {
        for (int waited = 0; pid_ > 0 && waited <= timeoutMs; waited += 10) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                pid_ = -1;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pid_ <= 0;
    }
    void Kill()
    {
        kill(pid_, SIGKILL);
        Reap();
    }

private:
    static bool Serve(const std::string& socket, const std::string (&files)[3],
                      vfio::Region bar1, int request, int ready)
    {
        vfio::Held held;
        int* fds[3] = {&held.Container, &held.Group, &held.Device};
        for (int i = 0; i < 3; ++i)
            *fds[i] = open(files[i].c_str(), O_RDWR | O_CLOEXEC);
        held.Regions[1] = bar1;
        held.Request = request;
        held.SocketPath = socket;
        held.Bound = socket + ".bound";
        held.Since = SINCE;
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, held.Bound.c_str(), sizeof address.sun_path - 1);
        held.Listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return bind(held.Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               vfio::ServeHold(&held, ready);
    }
    void Reap()
    {
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
};
