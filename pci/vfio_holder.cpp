// Starting the holder of a card that a run has loaded: its socket, the
// kernel's request channel, and the process itself, cut loose from the run
// so that it outlives the terminal and the operator's logout.
#include <grp.h>
#include <linux/vfio.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

#include "pci/run_folder.h"
#include "pci/vfio.h"

namespace vfio {

namespace {

// Whoever may open the group's device may take the card over, and no one
// else: the socket gets that file's group and its permissions (connecting
// takes write permission). Where this process may not give the socket that
// group, only the owner and root can reach it.
void ShareLikeGroup(const std::string& socket, const std::string& groupPath)
{
    struct stat device;
    mode_t mode = 0600;
    if (stat(groupPath.c_str(), &device) == 0) {
        const bool grouped = chown(socket.c_str(), static_cast<uid_t>(-1), device.st_gid) == 0;
        mode |= device.st_mode & (grouped ? 0066 : 0006);
    }
    chmod(socket.c_str(), mode);
}

// Bound at a name of this process's own, so that the socket appears at the
// card's name whole, only once the holder listens on it.
PlxStatus BindSocket(Held* held, const std::string& groupPath)
{
    held->Bound = held->SocketPath + "." + std::to_string(getpid());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (held->Bound.size() >= sizeof address.sun_path)
        return PLX_ERR_PATH_LONG;
    std::memcpy(address.sun_path, held->Bound.c_str(), held->Bound.size() + 1);
    held->Listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(held->Bound.c_str());
    if (held->Listener < 0 ||
        bind(held->Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return PLX_ERR_HOLD;
    ShareLikeGroup(held->Bound, groupPath);
    return PLX_STATUS_OK;
}

// The kernel asks for the device back through this eventfd before an
// unbind or a removal goes on; without it, those would wait for a release.
int RequestChannel(int device)
{
    const int channel = eventfd(0, EFD_CLOEXEC);
    if (channel < 0)
        return -1;
    union {
        char bytes[sizeof(vfio_irq_set) + sizeof(int32_t)];
        vfio_irq_set align;
    } request;
    std::memset(&request, 0, sizeof request);
    vfio_irq_set* set = &request.align;
    set->argsz = sizeof request.bytes;
    set->flags = VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER;
    set->index = VFIO_PCI_REQ_IRQ_INDEX;
    set->count = 1;
    const int32_t fd = channel;
    std::memcpy(request.bytes + sizeof(vfio_irq_set), &fd, sizeof fd);
    if (ioctl(device, VFIO_DEVICE_SET_IRQS, set) == 0)
        return channel;
    close(channel);
    return -1;
}

// No terminal, no signal the run had taken, no working folder that would
// keep a file system busy; standard streams on /dev/null.
void Detach()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal = 1; signal < NSIG; ++signal)
        std::signal(signal, SIG_DFL);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    (void)!chdir("/");
    const int null = open("/dev/null", O_RDWR);
    for (int fd = STDIN_FILENO; null >= 0 && fd <= STDERR_FILENO; ++fd)
        dup2(null, fd);
    if (null > STDERR_FILENO)
        close(null);
}

// Closes every descriptor above the standard streams but those kept.
void KeepOnly(std::vector<int> kept)
{
    std::sort(kept.begin(), kept.end());
    unsigned from = STDERR_FILENO + 1;
    for (const int fd : kept) {
        if (fd < 0 || static_cast<unsigned>(fd) < from)
            continue;
        if (static_cast<unsigned>(fd) > from)
            close_range(from, static_cast<unsigned>(fd) - 1, 0);
        from = static_cast<unsigned>(fd) + 1;
    }
    close_range(from, UINT_MAX, 0);
}

[[noreturn]] void BecomeHolder(Held* held, VfioDevice* v, int ready)
{
    UnmapAll(v);
    Detach();
    KeepOnly({held->Container, held->Group, held->Device, held->Listener, held->Request, ready});
    // Ended without the run's exit handlers: what it buffered is its own.
    _exit(ServeHold(held, ready) ? 0 : 1);
}

// Forks twice: the holder is then in a session of its own without leading
// it, so it can never gain a terminal, and the run has no child left to
// wait for. The run waits until the holder listens.
PlxStatus StartHolder(Held* held, VfioDevice* v)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return PLX_ERR_HOLD;
    const pid_t middle = fork();
    if (middle == 0) {
        close(ready[0]);
        if (setsid() < 0)
            _exit(1);
        const pid_t holder = fork();
        if (holder != 0)
            _exit(holder < 0 ? 1 : 0);
        BecomeHolder(held, v, ready[1]);
    }
    close(ready[1]);
    int status = 0;
    while (middle > 0 && waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    char byte = 1;
    ssize_t n;
    do
        n = read(ready[0], &byte, 1);
    while (n < 0 && errno == EINTR);
    close(ready[0]);
    return middle > 0 && n == 1 ? PLX_STATUS_OK : PLX_ERR_HOLD;
}

}  // namespace

PlxStatus Hold(PlxPlatformDevice* device)
{
    VfioDevice* v = device->Vfio;
    Held held;
    held.Container = v->Container;
    held.Group = v->Group;
    held.Device = v->Device;
    std::copy(std::begin(v->Regions), std::end(v->Regions), std::begin(held.Regions));
    RunFolderToWrite("hold");
    held.SocketPath = HoldSocket(device->Address);
    held.Since = static_cast<int64_t>(std::time(nullptr));
    PlxStatus status = BindSocket(&held, v->GroupPath);
    if (status == PLX_STATUS_OK) {
        held.Request = RequestChannel(v->Device);
        status = StartHolder(&held, v);
    }
    // The holder has copies of its own; the device's stay with the run
    // until it closes them.
    sysfs::CloseFile(&held.Listener);
    sysfs::CloseFile(&held.Request);
    if (status != PLX_STATUS_OK && !held.Bound.empty())
        unlink(held.Bound.c_str());
    return status;
}

}  // namespace vfio
