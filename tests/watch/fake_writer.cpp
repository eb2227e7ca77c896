// Stands in for the programmer when testing the recorder: maps a device's
// resource3 the way the real program does and stores a file's bytes, one
// after another, into the first byte of the BAR 3 window.
//
//   fake_writer DEVICE_DIR INPUT [stray|segv|trap]
//
// stray  also stores into the byte after the window between data bytes
// segv   dies on a null store after the data (the recorder must not hide it)
// trap   raises SIGTRAP after the data (likewise)
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "fake_writer: %s\n", what.c_str());
    std::exit(2);
}

unsigned long long Bar3Start(const std::string& dir)
{
    std::ifstream in(dir + "/resource");
    std::string line;
    for (int i = 0; i < 4; i++) {
        if (!std::getline(in, line))
            Fail("resource has fewer than 4 lines");
    }
    return std::strtoull(line.c_str(), nullptr, 16);
}

std::vector<unsigned char> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Window {
    unsigned char* map = nullptr;
    size_t length = 0;
    volatile unsigned char* first = nullptr;
};

Window MapWindow(const std::string& dir)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t in_page = Bar3Start(dir) & (page - 1);
    Window w;
    w.length = (in_page + 2 + page - 1) / page * page;
    int fd = open((dir + "/resource3").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        Fail("cannot open resource3");
    void* map = mmap(nullptr, w.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        Fail("mmap failed");
    w.map = static_cast<unsigned char*>(map);
    w.first = w.map + in_page;
    return w;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        Fail("usage: fake_writer DEVICE_DIR INPUT [stray|segv|trap]");
    alarm(20);  // a recorder that swallows a fault would otherwise spin forever
    const std::string mode = argc > 3 ? argv[3] : "";
    const std::vector<unsigned char> data = ReadAll(argv[2]);
    Window window = MapWindow(argv[1]);
    for (unsigned char byte : data) {
        window.first[0] = byte;
        if (mode == "stray")
            window.first[1] = static_cast<unsigned char>(~byte);
    }
    // Not address 0: the undefined-behaviour checker would stop it first.
    volatile uintptr_t unmapped = 16;
    if (mode == "segv")
        *reinterpret_cast<volatile char*>(unmapped) = 1;
    if (mode == "trap")
        raise(SIGTRAP);
    munmap(window.map, window.length);
    return 0;
}
