#include "configfile/file_access.h"

#include <cerrno>
#include <cstdio>
#include <sys/types.h>

#include "run/run_state.h"

std::size_t ReadAt(uint32_t offset, std::size_t count, uint8_t* buffer)
{
    if (fseeko(State.ConfigFile, static_cast<off_t>(offset), SEEK_SET) != 0)
        return 0;
    return std::fread(buffer, 1, count, State.ConfigFile);
}

int32_t FileLength()
{
    const off_t here = ftello(State.ConfigFile);
    if (here < 0 || fseeko(State.ConfigFile, 0, SEEK_END) != 0)
        return -1;
    const off_t length = ftello(State.ConfigFile);
    if (fseeko(State.ConfigFile, here, SEEK_SET) != 0)
        return -1;
    // A longer image would wrap the countdown into nonsense.
    if (length < 0 || length > INT32_MAX)
        return -1;
    return static_cast<int32_t>(length);
}

bool ReadToEnd()
{
    // As the stream tells a read error from the end: the error flag, and
    // errno for a library that reports a failed read as an end of file.
    errno = 0;
    while (std::fread(State.BlockBuffer, 1, BLOCK_SIZE, State.ConfigFile) > 0)
        errno = 0;
    return !std::ferror(State.ConfigFile) && errno == 0;
}
