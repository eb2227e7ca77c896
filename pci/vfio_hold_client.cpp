// Asking a card's holder, over its socket: who it is, a register, to hand
// the device over or to give it up. A socket no one listens on is what a
// holder that died leaves; it holds nothing, and is removed by whatever
// would otherwise have asked the holder to go.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "pci/vfio.h"

namespace vfio {

namespace {

constexpr int ANSWER_WAIT_MS = 5000;
// The holder answers at once, but the kernel resets the card as it closes
// the device, which for a bus reset takes a second or more.
constexpr int CLOSE_WAIT_MS = 60000;

enum class Reached { Connected, None, Stale, Denied };

Reached Connect(const std::string& path, int* fd, struct stat* found)
{
    *fd = -1;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (lstat(path.c_str(), found) != 0 || !S_ISSOCK(found->st_mode) ||
        path.size() >= sizeof address.sun_path)
        return Reached::None;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*fd < 0)
        return Reached::Denied;
    int result;
    do
        result = connect(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return Reached::Connected;
    const int error = errno;
    sysfs::CloseFile(fd);
    return error == ECONNREFUSED ? Reached::Stale
           : error == ENOENT     ? Reached::None
                                 : Reached::Denied;
}

// Only the socket that was found dead: a new holder may have put its own
// in its place meanwhile.
void RemoveStale(const std::string& path, const struct stat& found)
{
    struct stat now;
    if (lstat(path.c_str(), &now) == 0 && now.st_dev == found.st_dev &&
        now.st_ino == found.st_ino)
        unlink(path.c_str());
}

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd watch = {fd, POLLIN, 0};
    int ready;
    do
        ready = poll(&watch, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// Takes up to count descriptors from the message; closes any beyond them.
std::size_t TakeDescriptors(msghdr* message, int* fds, std::size_t count)
{
    std::size_t taken = 0;
    for (cmsghdr* h = CMSG_FIRSTHDR(message); h != nullptr; h = CMSG_NXTHDR(message, h)) {
        if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t n = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < n; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(h) + i * sizeof(int), sizeof fd);
            if (taken < count)
                fds[taken++] = fd;
            else
                close(fd);
        }
    }
    return taken;
}

// One question and its answer, with exactly count descriptors.
bool Exchange(int s, const Ask& ask, Answer* answer, int* fds, std::size_t count)
{
    ssize_t n;
    do
        n = send(s, &ask, sizeof ask, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof ask) || !WaitReadable(s, ANSWER_WAIT_MS))
        return false;
    iovec part = {answer, sizeof *answer};
    union {
        char buffer[CMSG_SPACE(3 * sizeof(int))];
        cmsghdr align;
    } control;
    std::memset(&control, 0, sizeof control);
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = sizeof control.buffer;
    do
        n = recvmsg(s, &message, MSG_CMSG_CLOEXEC | MSG_WAITALL);
    while (n < 0 && errno == EINTR);
    const std::size_t taken = n > 0 ? TakeDescriptors(&message, fds, count) : 0;
    if (n == static_cast<ssize_t>(sizeof *answer) && taken == count)
        return true;
    for (std::size_t i = 0; i < taken; ++i)
        close(fds[i]);
    return false;
}

// The holder as the kernel names it to this process.
long PeerPid(int s, const Answer& answer)
{
    ucred peer = {};
    socklen_t length = sizeof peer;
    return getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid > 0
               ? static_cast<long>(peer.pid)
               : static_cast<long>(answer.Pid);
}

bool SameFile(int fd, const std::string& path)
{
    struct stat held, named;
    return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Connects for a question that ends or replaces the holder: a dead
// holder's socket is removed then.
Reached ConnectToEnd(const std::string& path, int* s)
{
    struct stat found;
    const Reached reached = Connect(path, s, &found);
    if (reached == Reached::Stale)
        RemoveStale(path, found);
    return reached;
}

}  // namespace

HolderState AskStatus(const std::string& path, HolderStatus* status)
{
    struct stat found;
    int s;
    const Reached reached = Connect(path, &s, &found);
    if (reached == Reached::None || reached == Reached::Stale)
        return HolderState::None;
    status->Pid = 0;
    status->Since = static_cast<int64_t>(found.st_mtime);
    if (reached == Reached::Denied)
        return HolderState::Silent;
    Answer answer = {};
    const bool answered = Exchange(s, Ask{ASK_STATUS, 0, 0, 0}, &answer, nullptr, 0);
    if (answered) {
        status->Pid = PeerPid(s, answer);
        status->Since = answer.Since;
    }
    close(s);
    return answered ? HolderState::Answered : HolderState::Silent;
}

// What the holder sends is checked to be the card's group before it is
// used: its socket's folder is shared by every operator of the machine.
PlxStatus TakeOver(const std::string& path, const std::string& groupPath, int fds[3])
{
    int s;
    if (ConnectToEnd(path, &s) != Reached::Connected)
        return PLX_ERR_NOT_HELD;  // a run that may not ask meets the group held instead
    Answer answer = {};
    const bool answered = Exchange(s, Ask{ASK_TAKE_OVER, 0, 0, 0}, &answer, fds, 3);
    close(s);
    if (!answered)
        return PLX_ERR_HOLD;
    if (answer.Error == 0 && SameFile(fds[1], groupPath))
        return PLX_STATUS_OK;
    for (int i = 0; i < 3; ++i)
        close(fds[i]);
    return PLX_ERR_HOLD;
}

PlxStatus ReleaseHolder(const std::string& path, long* pid)
{
    int s;
    switch (ConnectToEnd(path, &s)) {
    case Reached::None:
    case Reached::Stale:
        return PLX_ERR_NOT_HELD;
    case Reached::Denied:
        return PLX_ERR_HOLD;
    case Reached::Connected:
        break;
    }
    Answer answer = {};
    bool ended = Exchange(s, Ask{ASK_RELEASE, 0, 0, 0}, &answer, nullptr, 0);
    if (ended)
        *pid = PeerPid(s, answer);
    // The connection ends as the holder does, after it closed the device.
    char byte;
    while (ended && WaitReadable(s, CLOSE_WAIT_MS)) {
        const ssize_t n = read(s, &byte, 1);
        if (n == 0 || (n < 0 && errno != EINTR))
            break;
    }
    close(s);
    return ended ? PLX_STATUS_OK : PLX_ERR_HOLD;
}

PlxStatus PeekHolder(const std::string& path, unsigned bar, uint32_t offset, uint32_t* value)
{
    struct stat found;
    int s;
    const Reached reached = Connect(path, &s, &found);
    if (reached != Reached::Connected)
        return reached == Reached::Denied ? PLX_ERR_HOLD : PLX_ERR_NOT_HELD;
    Answer answer = {};
    const bool answered =
        Exchange(s, Ask{ASK_PEEK, static_cast<uint8_t>(bar), 0, offset}, &answer, nullptr, 0);
    close(s);
    if (!answered)
        return PLX_ERR_HOLD;
    if (answer.Error != 0)
        return PLX_ERR_PORT_RANGE;
    *value = answer.Value;
    return PLX_STATUS_OK;
}

}  // namespace vfio
