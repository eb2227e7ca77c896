// Upload throughput and memory of the real program against a simulated
// card whose files are in RAM, beside a plain loop that does nothing but
// read the same file in 16 KiB blocks and store each byte into the same
// window, and the same loop making one write call per byte: what a window
// that VFIO cannot map costs at the least, each byte a one-byte write of
// the device's region. Prints figures; it is not a test and never fails
// on them.
//
//   veldran-bench VELDRAN_BINARY [WORK_DIR]   (WORK_DIR defaults to /dev/shm)
//
// Both sides run as processes of their own, so both pay for starting up,
// and each figure is the best of a few runs, since the machine is shared.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/simbus/sim_bus.h"
#include "tools/testkit/files.h"
#include "tools/testkit/process.h"
#include "tools/testkit/samples.h"

namespace {

constexpr std::size_t BLOCK = 16384;
constexpr std::size_t MIB = 1024 * 1024;

struct Figures {
    double Seconds;
    long PeakKib;
    long BlocksShown;  // countdown figures, when the output was kept
    int Status;
};

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Figures Run(const Command& command)
{
    const double start = Now();
    const Outcome run = RunProcess(command);
    return {Now() - start, run.PeakKib, std::count(run.Out.begin(), run.Out.end(), '\r'),
            run.Status};
}

// The floor: reading and storing, nothing else; or, byWrite, one write
// call of one byte per byte, as a window VFIO cannot map takes them.
int PlainLoop(const char* image, const char* window, bool byWrite)
{
    const int fd = open(window, O_RDWR);
    void* map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    std::FILE* f = std::fopen(image, "rb");
    if (map == MAP_FAILED || f == nullptr)
        return 1;
    volatile unsigned char* target = static_cast<volatile unsigned char*>(map);
    static unsigned char buffer[BLOCK];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!byWrite)
                *target = buffer[i];
            else if (pwrite(fd, &buffer[i], 1, 0) != 1)
                return 1;
        }
    }
    std::fclose(f);
    munmap(map, 4096);
    close(fd);
    return 0;
}

// The best of five: the machine is shared.
Figures Best(const Command& command)
{
    Figures best = Run(command);
    for (int i = 0; i < 4; ++i) {
        const Figures next = Run(command);
        if (next.Seconds < best.Seconds)
            best = next;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && (std::string(argv[1]) == "--loop" || std::string(argv[1]) == "--write-loop"))
        return PlainLoop(argv[2], argv[3], std::string(argv[1]) == "--write-loop");
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s VELDRAN_BINARY [WORK_DIR]\n", argv[0]);
        return 2;
    }
    TempFolder folder(argc > 2 ? argv[2] : "/dev/shm");
    if (folder.Path().empty()) {
        std::fprintf(stderr, "cannot make a work folder\n");
        return 1;
    }
    const std::string work = folder.Path();
    std::string error;
    SimCard card;
    if (!MakeSimBus(work + "/bus", {card}, &error)) {
        std::fprintf(stderr, "simulated bus: %s\n", error.c_str());
        return 1;
    }
    const std::vector<std::pair<std::string, std::string>> env = {
        {"VELDRAN_SYSFS_ROOT", work + "/bus"}};
    const std::string window = SimDevicePath(work + "/bus", card) + "/resource3";

    std::printf("%-8s %12s %12s %8s %14s %10s %8s %6s\n", "image", "program MB/s", "loop MB/s",
                "ratio", "ratio (piped)", "peak KiB", "figures", "status");
    double writes = 0;  // MB/s of the loop of write calls
    for (std::size_t mib : {std::size_t{1}, std::size_t{64}}) {
        const std::string image = work + "/image-" + std::to_string(mib) + ".prom";
        if (!WriteSample(image, {}, PromData(), mib * MIB, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        Command program{argv[1], {image, "0"}, env};
        Command loop{argv[0], {"--loop", image, window}, {}};
        // The countdown costs a write per block wherever it goes; read back
        // it is counted too, to /dev/null it costs least.
        program.Stdout = loop.Stdout = Command::Output::Discarded;
        const Figures run = Best(program);
        program.Stdout = Command::Output::Captured;
        const Figures kept = Best(program);
        const Figures floor = Best(loop);
        const double mb = static_cast<double>(mib * MIB) / 1e6;
        std::printf("%4zu MiB %12.1f %12.1f %8.2f %14.2f %10ld %8ld %6d\n", mib, mb / run.Seconds,
                    mb / floor.Seconds, floor.Seconds / run.Seconds,
                    floor.Seconds / kept.Seconds, run.PeakKib, kept.BlocksShown, run.Status);
        // A write call per byte takes a minute for 64 MiB: the small image
        // shows its rate.
        if (mib == 1)
            writes = mb / Best(Command{argv[0], {"--write-loop", image, window}, {}}).Seconds;
    }
    std::printf("loop of one write call per byte (the least a window VFIO cannot map costs), "
                "1 MiB: %.1f MB/s\n", writes);
    std::printf("figures: countdown figures printed (one per 16 KiB block: %zu for 64 MiB)\n",
                64 * MIB / BLOCK);
    return 0;
}
