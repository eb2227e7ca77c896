// The program's upload rate in the kernel suite's guest, one boot, three
// ways to the same card model: the sysfs files (the window mapped from
// resource3), VFIO with the window mapped, and VFIO with a window the
// kernel will not let it map (one write to the device per byte). Prints
// figures; it is not a test and never fails on them.
//
//   veldran-kernel-bench [MIB]    (the PROM image's size, 4 MiB by default)
//
// Under TCG every store to the card is an exit into QEMU, so the figures
// are the emulator's, not a real machine's; their ratios are what they
// show. Each figure is the best of three runs, timed in the guest from
// start to exit (its clock ticks in hundredths of a second); the cards keep
// no record, which would cost the model time per byte.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/kernel/kernel_guest.h"
#include "tools/testkit/files.h"
#include "tools/testkit/samples.h"

namespace {

struct Way {
    const char* Case;
    const char* What;
};

const Way WAYS[] = {
    {"bench_sysfs", "sysfs files, window mapped     "},
    {"bench_mapped", "VFIO, window mapped            "},
    {"bench_unmapped", "VFIO, one region write per byte"},
};

GuestCard BenchCard(const std::string& name, unsigned slot, std::size_t configSize,
                    const std::string& more = "")
{
    GuestCard card;
    card.Name = name;
    card.Slot = slot;
    card.Where = Seat::OwnBridge;
    card.Properties = "subsys=0x3312,config-size=" + std::to_string(configSize) + more;
    card.Recorded = false;
    return card;
}

// The best of a case's runs in seconds, or a negative figure if one failed.
double Best(const GuestBoot& boot, const std::string& name)
{
    double best = 1e9;
    for (int i = 1; i <= 3; ++i) {
        const std::string run = name + "_" + std::to_string(i);
        const auto r = boot.Runs.find(run);
        const auto t = boot.Facts.find("seconds_" + run);
        if (r == boot.Runs.end() || t == boot.Facts.end() || r->second.Status != 0) {
            std::printf("%s did not succeed: %s\n", run.c_str(),
                        r == boot.Runs.end() ? "not run" : r->second.Err.c_str());
            return -1;
        }
        char* end = nullptr;
        const double before = std::strtod(t->second.c_str(), &end);
        best = std::min(best, std::strtod(end, nullptr) - before);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4;
    if (mib == 0 || mib > 8) {
        std::fprintf(stderr, "usage: veldran-kernel-bench [MIB], 1 to 8\n");
        return 2;
    }
    std::string kernel, qemu;
    const std::string missing = GuestPrerequisites(&kernel, &qemu);
    if (!missing.empty()) {
        std::fprintf(stderr, "veldran-kernel-bench: %s\n", missing.c_str());
        return 1;
    }
    const Bytes image = PromImage(mib << 20);
    TempFolder temp;
    const std::string file = temp.Path() + "/bench.prom";
    if (temp.Path().empty() || !WriteFile(file, std::string(image.begin(), image.end()))) {
        std::fprintf(stderr, "veldran-kernel-bench: cannot write the image\n");
        return 1;
    }

    GuestPlan plan;
    const std::size_t size = ConfigSize(image);
    // The unmapped card's window is smaller than a page, and the case
    // before its runs has the kernel place it off a page's start.
    plan.Cards = {BenchCard("sysfs", 3, size), BenchCard("mapped", 4, size),
                  BenchCard("unmapped", 5, size, ",window-size=0x80")};
    plan.Cases = {{"bench_sysfs", "sysfs"},
                  {"bench_mapped", "mapped"},
                  {"vfio_placed", "unmapped"},
                  {"bench_unmapped", "unmapped"}};
    plan.Files = {{"/data/bench.prom", file}};
    plan.Iommu = true;
    plan.KernelArgs = "intel_iommu=on";
    const GuestBoot boot = BootGuest(kernel, qemu, plan);
    if (!boot.Problem.empty()) {
        std::fprintf(stderr, "veldran-kernel-bench: %s\n%s\n", boot.Problem.c_str(),
                     boot.Console.c_str());
        return 1;
    }

    std::printf("%zu MiB PROM image, best of 3 runs, guest wall time (QEMU TCG figures)\n", mib);
    std::printf("window of the unmapped card: %s\n", boot.Facts.count("vfio_placed") != 0
                                                         ? boot.Facts.at("vfio_placed").c_str()
                                                         : "?");
    double rates[3] = {};
    for (int i = 0; i < 3; ++i) {
        const double seconds = Best(boot, WAYS[i].Case);
        if (seconds <= 0)
            return 1;
        rates[i] = (mib << 20) / seconds / 1e6;
        std::printf("%s  %7.2f s  %8.2f MB/s\n", WAYS[i].What, seconds, rates[i]);
    }
    std::printf("VFIO mapped / sysfs: %.2f; VFIO mapped / region writes: %.1f\n", rates[1] / rates[0],
                rates[1] / rates[2]);
    std::printf("boot: %.1f s\n", boot.Seconds);
    return 0;
}
