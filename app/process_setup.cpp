#include "app/process_setup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

static void OpenOnDevNull(int fd)
{
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
        return;
    // The lowest free descriptor is fd itself, since the ones below it are
    // open by now.
    if (open("/dev/null", O_RDWR) != fd)
        std::abort();
}

void PrepareProcess()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        OpenOnDevNull(fd);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}
