// The holder's side of its socket: one asker at a time, one question each.
// It waits in poll, using no processor time, for an asker or for the
// kernel's request to have the device back (unbind, removal).
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "pci/vfio.h"

namespace vfio {

namespace {

constexpr int BACKLOG = 8;
// An asker that sends nothing for so long is dropped, so that it cannot
// keep the next one waiting.
constexpr int ASK_WAIT_MS = 5000;

bool ReadAsk(int connection, Ask* ask)
{
    char* at = reinterpret_cast<char*>(ask);
    std::size_t left = sizeof *ask;
    while (left > 0) {
        pollfd watch = {connection, POLLIN, 0};
        const int ready = poll(&watch, 1, ASK_WAIT_MS);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = read(connection, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void SendAnswer(int connection, const Answer& answer, const int* fds, std::size_t count)
{
    iovec part = {const_cast<Answer*>(&answer), sizeof answer};
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    union {
        char buffer[CMSG_SPACE(3 * sizeof(int))];
        cmsghdr align;
    } control;
    std::memset(&control, 0, sizeof control);
    if (count > 0) {
        message.msg_control = control.buffer;
        message.msg_controllen = CMSG_SPACE(count * sizeof(int));
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(count * sizeof(int));
        std::memcpy(CMSG_DATA(header), fds, count * sizeof(int));
    }
    ssize_t n;
    do
        n = sendmsg(connection, &message, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
}

// Only the socket this holder put there: a run that took the device over
// may have put its own holder's in its place since.
void RemoveSocket(Held* held, const struct stat& placed)
{
    struct stat now;
    if (lstat(held->SocketPath.c_str(), &now) == 0 && now.st_dev == placed.st_dev &&
        now.st_ino == placed.st_ino)
        unlink(held->SocketPath.c_str());
}

// The device first, as a run closes it: once its last descriptor is gone,
// the kernel resets it.
void CloseHeld(Held* held)
{
    for (int* fd : {&held->Device, &held->Group, &held->Container, &held->Request,
                    &held->Listener})
        sysfs::CloseFile(fd);
}

int32_t PeekRegister(const Held& held, unsigned bar, uint32_t offset, uint32_t* value)
{
    if (bar >= static_cast<unsigned>(PLX_BAR_COUNT))
        return EINVAL;
    const Region& region = held.Regions[bar];
    if (offset % 4 != 0 || region.Size < 4 || offset > region.Size - 4)
        return EINVAL;
    return sysfs::PreadExact(held.Device, value, 4, region.Offset + offset) ? 0 : EIO;
}

// Answers one asker; true once the device has been given up, to a run that
// took it over or for good.
bool ServeAsker(Held* held, const struct stat& placed, int connection)
{
    Ask ask;
    if (!ReadAsk(connection, &ask))
        return false;
    Answer answer = {0, static_cast<int32_t>(getpid()), held->Since, 0, 0};
    switch (ask.What) {
    case ASK_TAKE_OVER: {
        // Gone from the folder before the descriptors leave, so that the
        // taker's own holder can put its socket there.
        RemoveSocket(held, placed);
        const int fds[3] = {held->Container, held->Group, held->Device};
        SendAnswer(connection, answer, fds, 3);
        CloseHeld(held);
        return true;
    }
    case ASK_RELEASE:
        // The asker sees the connection end once the device is closed.
        RemoveSocket(held, placed);
        SendAnswer(connection, answer, nullptr, 0);
        CloseHeld(held);
        return true;
    case ASK_PEEK:
        answer.Error = PeekRegister(*held, ask.Bar, ask.Offset, &answer.Value);
        break;
    case ASK_STATUS:
        break;
    default:
        answer.Error = EINVAL;
        break;
    }
    SendAnswer(connection, answer, nullptr, 0);
    return false;
}

}  // namespace

// It listens before its socket is in place: a socket no one listens on is
// one a dead holder left, which the next run removes.
bool ServeHold(Held* held, int ready)
{
    struct stat placed;
    if (listen(held->Listener, BACKLOG) != 0 ||
        rename(held->Bound.c_str(), held->SocketPath.c_str()) != 0 ||
        lstat(held->SocketPath.c_str(), &placed) != 0) {
        unlink(held->Bound.c_str());
        CloseHeld(held);
        return false;
    }
    if (ready >= 0) {
        (void)!write(ready, "", 1);
        close(ready);
    }
    for (;;) {
        pollfd watch[2] = {{held->Listener, POLLIN, 0}, {held->Request, POLLIN, 0}};
        const int n = poll(watch, held->Request >= 0 ? 2 : 1, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (watch[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ||
            (held->Request >= 0 && watch[1].revents != 0)) {
            RemoveSocket(held, placed);
            CloseHeld(held);
            return true;
        }
        const int connection = accept4(held->Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        const bool given = ServeAsker(held, placed, connection);
        close(connection);
        if (given)
            return true;
    }
}

}  // namespace vfio
